// The fast entropy path against the plain routines block by block: two contexts decode the same
// scan data in the same pieces, one with the fast routines allowed and one with the plain ones
// forced, and after every block the results, the coefficients, the DC difference, the bit buffer
// and the input position must agree, as must every JD_NEED_DATA point, marker and error.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "decoder/cpu_dispatch.h"
#include "decoder/decoder.h"
#include "decoder/entropy/huffman.h"
#include "decoder/entropy/huffman_fast.h"
#include "decoder/entropy/huffman_fast_block.h"
#include "decoder/transform/reconstruct_fast.h"
#include "support/jpeg_builder.h"
#include "support/routine_levels.h"
#include "support/stage_context.h"

#if defined(JPEGDEC_HAVE_LIBJPEG)
#include "support/libjpeg_reference.h"
#endif

namespace jpegdec {
namespace {

using test::Bytes;
using test::ContextPtr;

// One set of tables for a test: what DC table 0 and AC table 0 hold (all components use them).
struct TableSet {
  const char* name;
  // Defined over the standard tables of T.81 Annex K (LoadStandardHuffmanTable), which stay
  // where the set defines none: empty, the standard tables alone.
  std::vector<test::DhtTable> tables;
};

ContextPtr NewContext(const TableSet& set, int components) {
  ContextPtr context = test::NewDecoderContext();
  EXPECT_NE(context, nullptr);
  context->phase = kPhaseInScan;
  context->numComponents = static_cast<std::uint8_t>(components);
  for (int i = 0; i < components; ++i) {
    // Components after the first use table 1 where the standard tables stand alone.
    const std::uint8_t t = (set.tables.empty() && i > 0) ? 1 : 0;
    context->comp[i].dcTable = t;
    context->comp[i].acTable = static_cast<std::uint8_t>(16 + t);
  }
  for (const int id : {0x00, 0x01, 0x10, 0x11}) {
    EXPECT_TRUE(LoadStandardHuffmanTable(context.get(), static_cast<std::uint8_t>(id)));
  }
  if (!set.tables.empty()) {
    test::DefineHuffmanTables(context.get(), set.tables);
  }
  return context;
}

// Drives one context as the band decoder does: DecodeNextBlock for each block (the whole block
// on the fast path where it may, else the DC and AC parts and their resume forms), and the
// components in turn.
class Lane {
 public:
  Lane(const TableSet& set, int components, bool plain)
      : context_(NewContext(set, components)), components_(components) {
    // As the frame header would choose them.
    context_->routineLevel = plain ? kRoutinesPlain : DetectRoutineLevel();
  }

  DecoderContext* context() { return context_.get(); }

  void Adopt(const std::uint8_t* data, std::int32_t length) {
    context_->inPtr = data;
    context_->inAvail = length;
  }

  // 1 when a block is complete (difference and block set), else the entropy decoder's status.
  std::uint8_t NextBlock(std::int16_t* difference) {
    DecoderContext* c = context_.get();
    std::int16_t& predictor = c->dcPred[c->curComp];
    if (c->dcDone == 0 && c->resumePending == 0) {
      predictorBefore_ = predictor;  // a block starts
    }
    const std::uint8_t r = DecodeNextBlock(c);
    if (r == 1) {
      *difference = static_cast<std::int16_t>(predictor - predictorBefore_);
      c->coefIndex = 0;
      c->curComp = static_cast<std::uint8_t>((c->curComp + 1) % components_);
    }
    return r;
  }

 private:
  ContextPtr context_;
  int components_;
  std::int16_t predictorBefore_ = 0;
};

// Decodes `data` in `pieces` with both kinds in lockstep. Returns the number of blocks both
// completed; records a failure at the first difference.
int ExpectLockstep(const TableSet& set, int components, const Bytes& data,
                   const std::vector<std::uint32_t>& pieces, const std::string& what) {
  Lane fast(set, components, false);
  Lane plain(set, components, true);
  std::size_t offset = 0;
  std::size_t next = 0;
  auto adopt = [&]() {
    const std::uint32_t length = next < pieces.size() ? pieces[next] : 0;
    fast.Adopt(data.data() + offset, static_cast<std::int32_t>(length));
    plain.Adopt(data.data() + offset, static_cast<std::int32_t>(length));
    offset += length;
    ++next;
  };
  adopt();
  int blocks = 0;
  for (;;) {
    std::int16_t fd = 0;
    std::int16_t pd = 0;
    const std::uint8_t fr = fast.NextBlock(&fd);
    const std::uint8_t pr = plain.NextBlock(&pd);
    const DecoderContext* f = fast.context();
    const DecoderContext* p = plain.context();
    const std::string where = what + ", block " + std::to_string(blocks);
    EXPECT_EQ(fr, pr) << where << ": result";
    if (fr != pr) {
      return blocks;
    }
    if (fr == JD_ERR_DATA) {
      return blocks;
    }
    EXPECT_EQ(f->inPtr, p->inPtr) << where << ": input position";
    EXPECT_EQ(f->inAvail, p->inAvail) << where;
    EXPECT_EQ(f->bitCount, p->bitCount) << where << ": bits held";
    EXPECT_EQ(f->bitBuffer, p->bitBuffer) << where;
    EXPECT_EQ(f->ffPending, p->ffPending) << where;
    if (fr == 1) {
      EXPECT_EQ(fd, pd) << where << ": DC difference";
      for (int k = 1; k < kBlockSize; ++k) {
        EXPECT_EQ(f->block[k], p->block[k]) << where << ": coefficient " << k;
        if (f->block[k] != p->block[k]) {
          return blocks;
        }
      }
      ++blocks;
      continue;
    }
    if (fr == JD_NEED_DATA) {
      EXPECT_EQ(f->inAvail, 0) << where;
      if (next >= pieces.size()) {
        return blocks;
      }
      adopt();
      continue;
    }
    // JD_OK: a marker handed back ends the scan data; fill bytes taken go on.
    EXPECT_EQ(f->markerPending, p->markerPending) << where;
    EXPECT_EQ(f->marker, p->marker) << where;
    if (f->markerPending != 0 || ::testing::Test::HasFailure()) {
      return blocks;
    }
  }
}

std::vector<std::uint32_t> RandomPieces(std::size_t size, std::mt19937& random,
                                        std::uint32_t maxPiece) {
  std::vector<std::uint32_t> pieces;
  std::size_t left = size;
  while (left > 0) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(left, 1 + random() % maxPiece));
    pieces.push_back(n);
    left -= n;
  }
  return pieces;
}

// Tables that make random data meet every case: the standard ones; runs and ZRL among the
// shortest codes (ZRL at 48 and runs past the end come soon); only codes of up to 3 bits with
// one pattern left unused (the early error); codes of 10 bits only (long codes, mostly invalid),
// and of 12 to 15 bits (longer than the fast lookahead: found by their length);
// a DC table with a category above 11.
const TableSet kTableSets[] = {
    {"standard", {}},
    {"runs",
     {{0x00, {0, 1, 5, 1, 1, 1, 1, 1, 1}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
      {0x10, {0, 3, 2}, {0xF0, 0x01, 0xD2, 0x00, 0x3A}}}},
    {"short", {{0x00, {0, 3, 1}, {0, 1, 2, 3}}, {0x10, {0, 2, 1}, {0x01, 0x00, 0x11}}}},
    {"long",
     {{0x00, {0, 0, 0, 0, 0, 0, 0, 0, 1, 3}, {0, 1, 2, 5}},
      {0x10, {0, 0, 0, 0, 0, 0, 0, 0, 0, 4}, {0x00, 0x01, 0xF0, 0x25}}}},
    {"longer than the lookahead",
     {{0x00, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 3}, {0, 1, 2, 5}},
      {0x10, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 1}, {0x00, 0x01, 0xF0, 0x25}}}},
    {"category 15",  // with the standard AC table
     {{0x00, {0, 1, 5, 1, 1, 1, 1, 1, 1}, {0, 1, 2, 3, 4, 5, 15, 7, 8, 9, 10, 11}}}},
};

// Random scan data: mostly plain bytes, with 0xFF as a stuffed pair, a restart marker, fill
// bytes or an unpaired 0xFF now and then.
Bytes RandomScanData(std::mt19937& random, std::size_t size, int ffPerMille) {
  Bytes data;
  while (data.size() < size) {
    const auto roll = random() % 1000;
    if (roll < static_cast<std::uint32_t>(ffPerMille)) {
      switch (random() % 8) {
        case 0:
          data.insert(data.end(), {0xFF, 0xD0});
          break;
        case 1:
          data.insert(data.end(), {0xFF, 0xFF, 0xD9});
          break;
        case 2:
          data.push_back(0xFF);
          break;
        default:
          data.insert(data.end(), {0xFF, 0x00});
          break;
      }
    } else {
      data.push_back(static_cast<std::uint8_t>(random()));
    }
  }
  return data;
}

// Random scan data through every table set, with one to three components: each trial decoded
// twice in lockstep, first in fixed pieces (the whole, or single bytes), then in random pieces of
// up to `maxPiece` bytes.
struct RandomTrials {
  std::uint32_t seed;
  int trials;          // per table set
  std::size_t least;   // bytes of data, at least
  std::size_t spread;  // and fewer than this many more
  bool whole;          // the fixed pieces: the whole, or single bytes
  std::uint32_t maxPiece;
};

void ExpectTrialsAlike(const RandomTrials& plan) {
  std::mt19937 random(plan.seed);
  for (const TableSet& set : kTableSets) {
    for (int trial = 0; trial < plan.trials; ++trial) {
      const int ffPerMille = trial % 3 == 0 ? 0 : (trial % 3 == 1 ? 5 : 60);
      const Bytes data = RandomScanData(random, plan.least + random() % plan.spread, ffPerMille);
      const int components = 1 + trial % 3;
      const std::string what = std::string(set.name) + " trial " + std::to_string(trial);
      const std::vector<std::uint32_t> fixed =
          plan.whole ? std::vector<std::uint32_t>{static_cast<std::uint32_t>(data.size())}
                     : std::vector<std::uint32_t>(data.size(), 1u);
      ExpectLockstep(set, components, data, fixed,
                     what + (plan.whole ? " whole" : " 1-byte pieces"));
      ExpectLockstep(set, components, data, RandomPieces(data.size(), random, plan.maxPiece),
                     what + " pieces up to " + std::to_string(plan.maxPiece));
      if (::testing::Test::HasFailure()) {
        return;
      }
    }
  }
}

TEST(FastEntropyBlocks, RandomDataMeetsEveryCaseAlike) {
  if (const std::string missing = test::MissingRoutineLevel(kRoutinesSse2); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  ExpectTrialsAlike({2024, 150, 64, 400, true, 80});
}

// Pieces of 1 to 4 bytes never leave room for whole blocks: the fast routines' symbol lookups
// then meet the end of nearly every piece, inside codes, inside extra bits and inside stuffed
// pairs, and must fetch, wait and fail exactly where the plain searches do.
TEST(FastEntropyBlocks, TinyPiecesAgreeCallByCall) {
  if (const std::string missing = test::MissingRoutineLevel(kRoutinesSse2); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  ExpectTrialsAlike({4711, 40, 32, 200, false, 4});
}

// Data the standard tables decode for a long way: blocks of EOB-terminated random coefficients
// written with those tables' codes, so that mostly the fast path works and the plain routines
// take over at piece ends and near the 0xFF bytes.
TEST(FastEntropyBlocks, LongValidRunsAgreeBlockByBlock) {
  if (const std::string missing = test::MissingRoutineLevel(kRoutinesSse2); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
#if defined(JPEGDEC_HAVE_LIBJPEG)
  // Scan data of real images made with the standard tables.
  std::vector<Bytes> scans;
  for (const int quality : {50, 90, 100}) {
    test::EncodeRecipe recipe = test::MakeRecipe(test::Colour::kGrey, 256, 64);
    recipe.quality = quality;
    std::string error;
    const Bytes file = test::EncodeJpeg(recipe, &error);
    ASSERT_FALSE(file.empty()) << error;
    for (std::size_t i = 0; i + 3 < file.size(); ++i) {
      if (file[i] == 0xFF && file[i + 1] == 0xDA) {
        const std::size_t start =
            i + 2 + (static_cast<std::size_t>(file[i + 2]) << 8 | file[i + 3]);
        scans.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(start), file.end());
        break;
      }
    }
  }
  ASSERT_EQ(scans.size(), 3u);
  std::mt19937 random(99);
  for (std::size_t s = 0; s < scans.size(); ++s) {
    const Bytes& data = scans[s];
    const std::string what = "scan " + std::to_string(s);
    const std::vector<std::uint32_t> whole = {static_cast<std::uint32_t>(data.size())};
    EXPECT_GT(ExpectLockstep(kTableSets[0], 1, data, whole, what + " whole"), 200);
    ExpectLockstep(kTableSets[0], 1, data, std::vector<std::uint32_t>(data.size(), 1u),
                   what + " 1-byte pieces");
    for (const std::uint32_t maxPiece : {3u, 40u, 200u, 2000u}) {
      ExpectLockstep(kTableSets[0], 1, data, RandomPieces(data.size(), random, maxPiece),
                     what + " pieces up to " + std::to_string(maxPiece));
    }
  }
#else
  GTEST_SKIP() << "needs libjpeg to make the images (native build)";
#endif
}

// The fast block loop's form of the fast path: blocks decoded one after another through one open
// reader, dequantised into the transform's column order, against DecodeBlockFast block by block:
// the same blocks complete and fail, with the same coefficients and DC differences, and closing
// the reader after any block leaves the state the block-by-block path leaves.
TEST(FastEntropyBlocks, ColumnFormThroughAnOpenReaderAgrees) {
  if (const std::string missing = test::MissingRoutineLevel(kRoutinesSse2); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  std::array<std::size_t, kBlockSize> columnOf{};
  for (std::size_t i = 0; i < kBlockSize; ++i) {
    columnOf[kZigZagByColumn[i]] = i;
  }
  std::mt19937 random(77);
  int blocks = 0;
  for (const TableSet& set : kTableSets) {
    for (int trial = 0; trial < 100; ++trial) {
      const int ffPerMille = trial % 3 == 0 ? 0 : (trial % 3 == 1 ? 5 : 60);
      const Bytes data = RandomScanData(random, 64 + random() % 400, ffPerMille);
      const std::string what = std::string(set.name) + " trial " + std::to_string(trial);
      ContextPtr byBlock = NewContext(set, 1);
      ContextPtr open = NewContext(set, 1);
      for (DecoderContext* c : {byBlock.get(), open.get()}) {
        c->routineLevel = DetectRoutineLevel();
        c->inPtr = data.data();
        c->inAvail = static_cast<std::int32_t>(data.size());
      }
      // Zero entries and products that wrap to 0 included.
      std::uint8_t* q = byBlock->quantTables[0].values;
      for (std::size_t k = 0; k < kBlockSize; ++k) {
        q[k] = static_cast<std::uint8_t>(k % 9 == 0 ? 0 : random());
      }
      FastBlockTables tables{};
      ASSERT_TRUE(FastTablesFor(open.get(), 0, &tables));
      tables.quant = q;
      FastReader reader{};
      OpenFastReader(open.get(), &reader);
      struct alignas(32) {
        std::array<std::int16_t, kBlockSize> v;
      } columns{};
      for (int block = 0;; ++block) {
        const std::string where = what + ", block " + std::to_string(block);
        std::int16_t expected = 0;
        std::int16_t difference = 0;
        bool anyAc = false;
        const bool plainDone = DecodeBlockFast(byBlock.get(), &expected);
        const bool columnsDone =
            DecodeBlockToColumns(&reader, tables, &difference, columns.v.data(), &anyAc);
        ASSERT_EQ(columnsDone, plainDone) << where;
        if (!columnsDone) {
          for (const std::int16_t v : columns.v) {
            ASSERT_EQ(v, 0) << where << ": coefficients left after giving up";
          }
        } else {
          ++blocks;
          ASSERT_EQ(difference, expected) << where;
          bool nonZero = false;
          for (std::size_t k = 1; k < kBlockSize; ++k) {
            const auto product = static_cast<std::int16_t>(byBlock->block[k] * q[k]);
            nonZero = nonZero || product != 0;
            ASSERT_EQ(columns.v[columnOf[k]], product) << where << ", coefficient " << k;
          }
          ASSERT_EQ(columns.v[0], 0) << where;
          if (nonZero) {  // without AC codes only columns[0] may be non-zero
            ASSERT_TRUE(anyAc) << where;
          }
          columns = {};
        }
        if (!columnsDone || block % 3 == 2) {
          CloseFastReader(open.get(), reader);
          ASSERT_EQ(open->inPtr, byBlock->inPtr) << where;
          ASSERT_EQ(open->inAvail, byBlock->inAvail) << where;
          ASSERT_EQ(open->bitCount, byBlock->bitCount) << where;
          ASSERT_EQ(open->bitBuffer, byBlock->bitBuffer) << where;
          OpenFastReader(open.get(), &reader);
        }
        if (!columnsDone) {
          break;
        }
      }
    }
  }
  EXPECT_GT(blocks, 1000) << "too few blocks completed to say much";
}

// The fast path is tried only where it can pay off, leaves the state the plain routines would
// leave after a block, and leaves it untouched when it gives up: a block cut short by the end of
// the input.
TEST(FastEntropyBlocks, GivesUpWithoutTouchingTheState) {
  ContextPtr context = NewContext(kTableSets[0], 1);
  context->routineLevel = DetectRoutineLevel();
  // EOB-only blocks are "00" (DC category 0) then "1010" (EOB): 6 bits a block; 40 bytes of
  // 0x28 0xA2 0x8A patterns cut inside a block at the end.
  Bytes data;
  for (int i = 0; i < 40; ++i) {
    data.insert(data.end(), {0x28, 0xA2, 0x8A});
  }
  context->inPtr = data.data();
  context->inAvail = static_cast<std::int32_t>(data.size());
  if (const std::string missing = test::MissingRoutineLevel(kRoutinesSse2); !missing.empty()) {
    EXPECT_FALSE(FastBlockEligible(context.get()));  // the plain routines take every block
    GTEST_SKIP() << missing;
  }
  EXPECT_TRUE(FastBlockEligible(context.get()));
  context->inAvail = 31;
  EXPECT_FALSE(FastBlockEligible(context.get()));  // too little ahead to be worth it
  context->inAvail = static_cast<std::int32_t>(data.size());
  context->routineLevel = kRoutinesPlain;
  EXPECT_FALSE(FastBlockEligible(context.get()));
  context->routineLevel = DetectRoutineLevel();

  // One block from the start: 6 bits used, so the state is that of one byte fetched with 2 of
  // its bits left ("00"), whatever the fast path read ahead.
  std::int16_t first = -1;
  EXPECT_TRUE(DecodeBlockFast(context.get(), &first));
  EXPECT_EQ(first, 0);
  EXPECT_EQ(context->inPtr, data.data() + 1);
  EXPECT_EQ(context->bitCount, 2);
  EXPECT_EQ(context->bitBuffer, 0u);

  // Last 2 bits of the data: a block cannot be complete in them.
  const std::uint8_t* end = data.data() + data.size();
  context->inPtr = end;
  context->inAvail = 0;
  context->bitBuffer = 0x1;  // "01": category 1 starts, its extra bit is missing
  context->bitCount = 2;
  std::int16_t difference = 0;
  EXPECT_FALSE(DecodeBlockFast(context.get(), &difference));
  EXPECT_EQ(context->inPtr, end);
  EXPECT_EQ(context->bitBuffer, 0x1u);
  EXPECT_EQ(context->bitCount, 2);
}

}  // namespace
}  // namespace jpegdec
