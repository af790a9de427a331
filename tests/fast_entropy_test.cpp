// The fast entropy path against the plain routines, through the public operations: every Read
// result in sequence with its row, every Write's acceptance, Finish's leftover and the call
// counts must be the same with the fast routines allowed and with the plain ones forced, for
// self-made images, damaged copies of them and the corpus, whole and split in many ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "api/jpeg_decode_instance.h"
#include "decoder/cpu_dispatch.h"
#include "jpegdec/jpegdec.h"
#include "support/files.h"
#include "support/host_driver.h"
#include "support/libjpeg_reference.h"
#include "support/routine_levels.h"

namespace jpegdec::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Pieces = std::vector<std::uint32_t>;

// Read calls in a row without progress after which a decode counts as stuck (both kinds are
// then still compared; a hang shows as the same cut-off trace on both sides or as a mismatch).
constexpr int kMaxIdleReads = 100;
constexpr std::size_t kMaxEvents = 4000000;

#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__)
constexpr bool kFullRun = false;  // under Wine and the sanitizers decodes are slower: a sample
#else
constexpr bool kFullRun = true;
#endif

// One public call and what it returned; a row is kept as its digest.
struct Event {
  char call;  // 'R' Read, 'W' Write
  std::int32_t result;
  std::uint64_t row;

  bool operator==(const Event&) const = default;
};

struct Trace {
  std::vector<Event> events;
  std::uint32_t leftover = 0;
  std::uint32_t writeCount = 0;
  std::uint32_t readCount = 0;
};

std::uint64_t Digest(const std::uint8_t* data, std::uint32_t length) {
  std::uint64_t h = 1469598103934665603u;  // FNV-1a
  for (std::uint32_t i = 0; i < length; ++i) {
    h = (h ^ data[i]) * 1099511628211u;
  }
  return h ^ length;
}

// Feeds `file` in the given pieces, reading after every piece and after every refusal exactly as
// a driver does; the calls depend only on the results, so equal results give equal traces.
Trace Run(const Bytes& file, const Pieces& pieces, bool plain) {
  ForcePlainRoutines(plain);
  Trace trace;
  JpegDecodeInstance* instance = CreateJpegDecodeInstance();
  if (instance == nullptr) {
    ForcePlainRoutines(false);
    return trace;
  }
  const FrameSize frame = PeekFrameSize(file);
  trace.events.push_back(
      {'S', instance->Start(frame.width, frame.height, JPEGDEC_MODE_STREAMING, 1), 0});
  std::size_t next = 0;
  std::size_t offset = 0;
  int idle = 0;
  while (trace.events.size() < kMaxEvents) {
    std::uint8_t* row = nullptr;
    std::uint32_t rowLength = 0;
    const std::int32_t r = instance->Read(&row, &rowLength);
    trace.events.push_back({'R', r, r == JPEGDEC_READ_ROW ? Digest(row, rowLength) : 0});
    if (r == JPEGDEC_READ_ROW) {
      idle = 0;
      continue;
    }
    if (r != JPEGDEC_READ_AGAIN) {
      break;
    }
    if (next < pieces.size()) {
      const std::int32_t w = instance->Write(file.data() + offset, pieces[next]);
      trace.events.push_back({'W', w, 0});
      if (w == 1) {
        offset += pieces[next];
        ++next;
        idle = 0;
        continue;
      }
    }
    if (++idle > kMaxIdleReads) {
      break;
    }
  }
  trace.writeCount = instance->GetWriteCount();
  trace.readCount = instance->GetReadCount();
  instance->Finish(&trace.leftover);
  DeleteJpegDecodeInstance(instance);
  ForcePlainRoutines(false);
  return trace;
}

void ExpectSameTrace(const Bytes& file, const Pieces& pieces, const std::string& what) {
  const Trace fast = Run(file, pieces, false);
  const Trace plain = Run(file, pieces, true);
  const std::size_t n = std::min(fast.events.size(), plain.events.size());
  std::size_t i = 0;
  while (i < n && fast.events[i] == plain.events[i]) {
    ++i;
  }
  if (i < n) {
    ADD_FAILURE() << what << ": call " << i << " differs: fast " << fast.events[i].call << " -> "
                  << fast.events[i].result << ", plain " << plain.events[i].call << " -> "
                  << plain.events[i].result
                  << (fast.events[i].row != plain.events[i].row ? " (row bytes differ)" : "");
    return;
  }
  EXPECT_EQ(fast.events.size(), plain.events.size()) << what;
  EXPECT_EQ(fast.leftover, plain.leftover) << what << ": Finish's leftover";
  EXPECT_EQ(fast.writeCount, plain.writeCount) << what << ": write count";
  EXPECT_EQ(fast.readCount, plain.readCount) << what << ": read count";
}

// The file in one piece, or in 64 KiB pieces when it is larger than the input buffer takes.
Pieces Whole(std::size_t size) {
  return PieceLengths(PieceSchedule::Fixed(std::min<std::size_t>(size, 65536) == size
                                               ? static_cast<std::uint32_t>(size)
                                               : 65536u),
                      size);
}

Pieces Fixed(std::size_t size, std::uint32_t piece) {
  return PieceLengths(PieceSchedule::Fixed(piece), size);
}

Pieces Random(std::size_t size, std::uint32_t seed, std::uint32_t maxPiece) {
  return PieceLengths(PieceSchedule::Random(seed, maxPiece), size);
}

#if defined(JPEGDEC_HAVE_LIBJPEG)

// Pieces that end right before and right after every 0xFF from `from` on (at most `limit` of
// them), so that stuffed bytes, markers and fill bytes meet the end of a piece.
Pieces CutsAroundFf(const Bytes& file, std::size_t from, std::size_t limit) {
  std::vector<std::size_t> cuts;
  for (std::size_t i = from; i < file.size() && cuts.size() < 2 * limit; ++i) {
    if (file[i] == 0xFF) {
      cuts.push_back(i);
      cuts.push_back(i + 1);
    }
  }
  Pieces pieces;
  std::size_t at = 0;
  for (const std::size_t cut : cuts) {
    if (cut > at) {
      pieces.push_back(static_cast<std::uint32_t>(cut - at));
      at = cut;
    }
  }
  if (at < file.size()) {
    pieces.push_back(static_cast<std::uint32_t>(file.size() - at));
  }
  return pieces;
}

// Where the scan data of the first scan starts: just past the SOS segment (0 if none).
std::size_t ScanDataStart(const Bytes& file) {
  for (std::size_t i = 0; i + 3 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == 0xDA) {
      return i + 2 + (static_cast<std::size_t>(file[i + 2]) << 8 | file[i + 3]);
    }
  }
  return 0;
}

// The splits every file gets: whole, 64 KiB and 4 KiB pieces, pieces around the fast path's
// threshold, random pieces, and cuts around 0xFF bytes.
void ExpectSameForSplits(const Bytes& file, const std::string& name, int randomSeeds) {
  ExpectSameTrace(file, Whole(file.size()), name + " whole");
  ExpectSameTrace(file, Fixed(file.size(), 4096), name + " 4 KiB");
  ExpectSameTrace(file, Fixed(file.size(), 33), name + " 33-byte pieces");
  for (int seed = 1; seed <= randomSeeds; ++seed) {
    const auto s = static_cast<std::uint32_t>(seed);
    ExpectSameTrace(file, Random(file.size(), s, 97), name + " random<=97 #" + std::to_string(s));
    ExpectSameTrace(file, Random(file.size(), s, 3000),
                    name + " random<=3000 #" + std::to_string(s));
  }
  ExpectSameTrace(file, CutsAroundFf(file, ScanDataStart(file), 200), name + " cuts at 0xFF");
}

EncodeRecipe Recipe(Colour colour, std::uint32_t width, std::uint32_t height, Factors factors,
                    int quality, bool optimize = false, unsigned restartInterval = 0,
                    unsigned restartRows = 0) {
  EncodeRecipe recipe = MakeRecipe(colour, width, height, std::move(factors));
  recipe.quality = quality;
  recipe.optimize = optimize;
  return WithRestart(recipe, restartInterval, restartRows);
}

std::vector<EncodeRecipe> SelfMadeCases() {
  return {
      Recipe(Colour::kGrey, 96, 64, {}, 75),
      Recipe(Colour::kGrey, 200, 40, {}, 100),  // large coefficients, long codes
      Recipe(Colour::kYCbCr, 128, 64, k420, 85),
      Recipe(Colour::kYCbCr, 97, 45, k422, 92),
      Recipe(Colour::kYCbCr, 80, 48, k444, 100),
      Recipe(Colour::kYCbCr, 64, 40, k420, 20),  // mostly end-of-block right after DC
      Recipe(Colour::kYCbCr, 120, 56, k420, 95, true),
      Recipe(Colour::kGrey, 150, 30, {}, 98, true),
      Recipe(Colour::kYCbCr, 96, 64, k420, 90, false, 1),   // a restart marker after every MCU
      Recipe(Colour::kYCbCr, 88, 40, k444, 90, true, 3),    // every 3 MCUs, own tables
      Recipe(Colour::kGrey, 130, 50, {}, 97, false, 0, 1),  // after every MCU row
      // Restart intervals whose last bytes are padded with 0 bits: both kinds must stop at the
      // interval's end and drop them alike.
      ZeroPadded(Recipe(Colour::kYCbCr, 96, 64, k420, 90, false, 1)),
      ZeroPadded(Recipe(Colour::kYCbCr, 97, 45, k422, 92, false, 2)),
      ZeroPadded(Recipe(Colour::kYCbCr, 88, 40, k444, 90, true, 3)),
      ZeroPadded(Recipe(Colour::kGrey, 130, 50, {}, 97, false, 0, 1)),
      Recipe(Colour::kCmyk, 60, 36, {}, 90),
      Recipe(Colour::kYcck, 64, 32, kFour420, 88),
  };
}

Bytes Encode(const EncodeRecipe& recipe) {
  std::string error;
  Bytes file = EncodeJpeg(recipe, &error);
  EXPECT_FALSE(file.empty()) << recipe.Name() << ": " << error;
  return file;
}

class SelfMade : public ::testing::TestWithParam<EncodeRecipe> {};

TEST_P(SelfMade, FastEqualsPlainForEverySplit) {
  if (const std::string missing = MissingRoutineLevel(kRoutinesSse2); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  const Bytes file = Encode(GetParam());
  ASSERT_FALSE(file.empty());
  ExpectSameForSplits(file, GetParam().Name(), 3);
}

std::string CaseName(const ::testing::TestParamInfo<EncodeRecipe>& param) {
  return param.param.Name();
}

INSTANTIATE_TEST_SUITE_P(Images, SelfMade, ::testing::ValuesIn(SelfMadeCases()), CaseName);

// 1-byte and other tiny pieces on a fixed sample: the whole-block path never runs, the fast
// routines' symbol lookups and the step that only resumes a block's AC part do the work, and
// neither may show: long codes, runs of zeros, restart markers, own tables, damaged data.
TEST(FastEntropy, TinyPiecesOnSmallImages) {
  if (const std::string missing = MissingRoutineLevel(kRoutinesSse2); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  const std::vector<EncodeRecipe> recipes = {
      Recipe(Colour::kYCbCr, 48, 32, k420, 90),
      Recipe(Colour::kGrey, 64, 16, {}, 100, false, 2),
      Recipe(Colour::kYCbCr, 40, 24, k444, 100, true),
      Recipe(Colour::kYCbCr, 64, 32, k422, 30, false, 0, 1),
      Recipe(Colour::kCmyk, 24, 16, {}, 95),
      ZeroPadded(Recipe(Colour::kGrey, 64, 16, {}, 100, false, 2)),
      ZeroPadded(Recipe(Colour::kYCbCr, 64, 32, k420, 60, false, 1)),
  };
  std::mt19937 random(11);
  for (const EncodeRecipe& recipe : recipes) {
    const Bytes file = Encode(recipe);
    ExpectSameTrace(file, Fixed(file.size(), 1), recipe.Name() + " 1-byte pieces");
    ExpectSameTrace(file, Random(file.size(), 5, 3), recipe.Name() + " pieces up to 3");
    // Damaged copies: one changed byte in the scan data, in 1-byte pieces.
    const std::size_t scan = ScanDataStart(file);
    ASSERT_GT(scan, 0u);
    for (int v = 0; v < (kFullRun ? 8 : 3); ++v) {
      Bytes damaged = file;
      damaged[scan + random() % (file.size() - 2 - scan)] = static_cast<std::uint8_t>(random());
      ExpectSameTrace(damaged, Fixed(damaged.size(), 1),
                      recipe.Name() + " damaged #" + std::to_string(v) + " in 1-byte pieces");
    }
  }
}

// Damaged copies: bytes of the scan data replaced at random positions (including 0xFF, stuffed
// pairs broken, markers made up), the scan cut short, and a marker put right after a block.
TEST(FastEntropy, DamagedScanDataGivesTheSameResults) {
  if (const std::string missing = MissingRoutineLevel(kRoutinesSse2); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  const Bytes original = Encode(Recipe(Colour::kYCbCr, 96, 64, k420, 90, false, 4));
  ASSERT_FALSE(original.empty());
  const std::size_t scan = ScanDataStart(original);
  ASSERT_GT(scan, 0u);
  ASSERT_GT(original.size(), scan + 64);
  const std::size_t span = original.size() - 2 - scan;  // scan data up to the end marker
  std::mt19937 random(7);
  const std::uint8_t kSpecial[] = {0xFF, 0x00, 0xD0, 0xD9, 0xC4, 0x01};
  const int variants = kFullRun ? 120 : 30;
  for (int v = 0; v < variants; ++v) {
    Bytes file = original;
    const int changes = 1 + v % 3;
    for (int c = 0; c < changes; ++c) {
      const std::size_t at = scan + random() % span;
      file[at] = (random() % 2 == 0) ? kSpecial[random() % sizeof(kSpecial)]
                                     : static_cast<std::uint8_t>(random());
    }
    const std::string name = "damaged #" + std::to_string(v);
    ExpectSameTrace(file, Whole(file.size()), name + " whole");
    ExpectSameTrace(file, Random(file.size(), static_cast<std::uint32_t>(v), 200),
                    name + " random");
  }
  // Cut short at many points, each followed by an end marker or a restart marker.
  for (int v = 0; v < (kFullRun ? 60 : 15); ++v) {
    Bytes file(original.begin(),
               original.begin() + static_cast<std::ptrdiff_t>(scan + random() % span));
    file.push_back(0xFF);
    file.push_back(v % 2 == 0 ? 0xD9 : 0xD0);
    if (v % 2 != 0) {
      file.insert(file.end(), {0xFF, 0xD9});
    }
    ExpectSameTrace(file, Whole(file.size()), "cut #" + std::to_string(v));
    ExpectSameTrace(file, Fixed(file.size(), 50), "cut #" + std::to_string(v) + " in 50s");
  }
  // Fill bytes before the end marker, after the last block.
  Bytes filled(original.begin(), original.end() - 2);
  filled.insert(filled.end(), {0xFF, 0xFF, 0xFF, 0xD9});
  ExpectSameForSplits(filled, "fill bytes", 2);
}

#endif  // JPEGDEC_HAVE_LIBJPEG

// Every decodable, corrupt and fuzzed corpus file (a sample of the larger folders, and fewer
// splits under Wine).
TEST(FastEntropy, CorpusFilesGiveTheSameResults) {
  if (const std::string missing = MissingRoutineLevel(kRoutinesSse2); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  const std::vector<std::string> decodable = CorpusFiles("decodable");
  if (decodable.empty()) {
    GTEST_SKIP() << "the corpus (../shared/corpus beside the project) is absent: skipped";
  }
  struct Folder {
    const char* name;
    std::size_t every;  // every n-th file
    int seeds;
  };
  const Folder folders[] = {
      {"decodable", kFullRun ? 1u : 4u, kFullRun ? 1 : 0},
      {"corrupt", kFullRun ? 1u : 4u, 1},
      {"fuzz", kFullRun ? 8u : 40u, 1},
  };
  for (const Folder& folder : folders) {
    const std::vector<std::string> files = CorpusFiles(folder.name);
    for (std::size_t i = 0; i < files.size(); i += folder.every) {
      const Bytes file = ReadFileBytes(files[i]);
      if (file.empty()) {
        continue;
      }
      const std::string name = files[i].substr(files[i].find_last_of("/\\") + 1);
      ExpectSameTrace(file, Whole(file.size()), name + " whole");
      ExpectSameTrace(file, Fixed(file.size(), 4096), name + " 4 KiB");
      for (int seed = 1; seed <= folder.seeds; ++seed) {
        ExpectSameTrace(file, Random(file.size(), static_cast<std::uint32_t>(seed), 1500),
                        name + " random");
      }
    }
  }
}

}  // namespace
}  // namespace jpegdec::test
