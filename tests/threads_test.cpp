// Several instances on several threads at once, as a duplex scanner's driver runs them (front and
// back of a sheet on two threads): each thread creates, decodes and deletes instances of its own,
// with no lock in the host, in every mode and with different files and piece sizes. Every decode
// must give exactly what the same decode gives on one thread, and the live-instance count, and in
// the portable build every heap allocation, block, module and bitmap, must be back where they
// were. Built with ThreadSanitizer (the native-tsan preset) the same program also shows that the
// library's shared values are touched only in ways that cannot race.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "api/jpeg_decode_instance.h"
#include "jpegdec/jpegdec.h"
#include "support/files.h"
#include "support/host_driver.h"
#include "support/quadrant_images.h"
#if defined(JPEGDEC_HAVE_LIBJPEG)
#include "support/libjpeg_reference.h"
#endif
#if !defined(_WIN32)
#include "platform/portable/imaging_standin.h"
#include "platform/portable/test_hooks.h"
#endif

namespace jpegdec::test {
namespace {

constexpr int kThreads = 4;
constexpr int kRoundsPerThread = 3;  // each thread decodes every job this many times
// Corpus files of this size range join the images made here: real files from other encoders,
// small enough to keep the run short under ThreadSanitizer and Wine.
constexpr std::size_t kSmallestCorpusFile = 4 * 1024;
constexpr std::size_t kLargestCorpusFile = 48 * 1024;
constexpr std::size_t kCorpusFiles = 6;
// Create and delete without decoding: instances each thread holds at once, and rounds.
constexpr int kHeldInstances = 8;
constexpr int kCreateRounds = 2000;
// Automatic Starts of an image near the budget while another thread probes.
constexpr int kAutomaticStarts = 300;

struct Job {
  std::string what;
  std::vector<std::uint8_t> file;
  std::int32_t mode;
  PieceSchedule schedule;
};

struct Outcome {
  HostEnd end;
  std::uint32_t rows;
  std::uint64_t digest;
  std::uint32_t leftover;
};

Outcome Decode(const Job& job) {
  HostOptions options;
  options.mode = job.mode;
  options.keepRows = false;
  const HostResult result = DecodeThroughHost(job.file, options, job.schedule);
  return {result.end, result.rows, result.digest, result.leftover};
}

std::vector<std::vector<std::uint8_t>> Files() {
  std::vector<std::vector<std::uint8_t>> files = {
      {std::begin(kColourQuadrants), std::end(kColourQuadrants)},
      {std::begin(kGreyQuadrants), std::end(kGreyQuadrants)},
      {std::begin(kCmykQuadrants), std::end(kCmykQuadrants)},
  };
#if defined(JPEGDEC_HAVE_LIBJPEG)
  EncodeRecipe colour = MakeRecipe(Colour::kYCbCr, 301, 203, k420);
  colour.restartInterval = 3;
  EncodeRecipe grey = MakeRecipe(Colour::kGrey, 257, 190);
  grey.seed = 2;
  for (const EncodeRecipe& recipe : {colour, grey}) {
    std::string error;
    files.push_back(EncodeJpeg(recipe, &error));
    EXPECT_FALSE(files.back().empty()) << error;
  }
#endif
  std::size_t taken = 0;
  for (const std::string& path : CorpusFiles("decodable")) {
    std::vector<std::uint8_t> file = ReadFileBytes(path);
    if (taken < kCorpusFiles && file.size() >= kSmallestCorpusFile &&
        file.size() <= kLargestCorpusFile) {
      files.push_back(std::move(file));
      ++taken;
    }
  }
  return files;
}

std::vector<Job> Jobs() {
  struct Way {
    const char* name;
    std::int32_t mode;
    PieceSchedule schedule;
  };
  const Way ways[] = {
      {"streaming, 1-byte pieces", JPEGDEC_MODE_STREAMING, PieceSchedule::Fixed(1)},
      {"streaming, random pieces", JPEGDEC_MODE_STREAMING, PieceSchedule::Random(7, 3000)},
      {"streaming, whole", JPEGDEC_MODE_STREAMING, PieceSchedule::Whole()},
      {"buffered", JPEGDEC_MODE_BUFFERED, PieceSchedule::Fixed(4096)},
      {"GDI+", JPEGDEC_MODE_GDIPLUS, PieceSchedule::Fixed(4096)},
      {"automatic", JPEGDEC_MODE_AUTO, PieceSchedule::Random(3, 5000)},
  };
  std::vector<Job> jobs;
  const std::vector<std::vector<std::uint8_t>> files = Files();
  for (std::size_t f = 0; f < files.size(); ++f) {
    for (const Way& way : ways) {
      jobs.push_back(
          {"file " + std::to_string(f) + ", " + way.name, files[f], way.mode, way.schedule});
    }
  }
  return jobs;
}

class Threads : public ::testing::Test {
 protected:
  void SetUp() override {
#if !defined(_WIN32)
    platform::testing::ResetHooks();
    heap_ = platform::testing::LiveHeapAllocations();
#endif
    InitializeJpegDec();
  }
  void TearDown() override {
    EXPECT_EQ(UnInitializeJpegDec(), 0) << "instances alive";
#if !defined(_WIN32)
    EXPECT_EQ(platform::testing::LiveHeapAllocations(), heap_) << "heap allocations left";
    EXPECT_EQ(platform::testing::LiveBlocks(), 0) << "memory blocks left";
    EXPECT_EQ(platform::testing::LockedBlocks(), 0) << "blocks left locked";
    EXPECT_EQ(platform::testing::LiveModules(), 0) << "modules left loaded";
    EXPECT_EQ(platform::standin::testing::LiveBitmaps(), 0) << "bitmaps left";
    EXPECT_EQ(platform::standin::testing::LiveStartups(), 0) << "imaging sessions left";
#endif
  }
  std::int64_t heap_ = 0;
};

// Every thread runs every job, each starting at its own place in the list, so that at any
// moment different files in different modes are being decoded side by side.
TEST_F(Threads, EveryDecodeGivesWhatItGivesAlone) {
  const std::vector<Job> jobs = Jobs();
  ASSERT_FALSE(jobs.empty());
  std::vector<Outcome> alone;
  for (const Job& job : jobs) {
    alone.push_back(Decode(job));
    EXPECT_EQ(alone.back().end, HostEnd::kEnd) << job.what;
  }
  std::vector<std::vector<std::string>> mismatches(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::size_t n = jobs.size();
      for (std::size_t i = 0; i < n * kRoundsPerThread; ++i) {
        const std::size_t j = (i + static_cast<std::size_t>(t) * n / kThreads) % n;
        const Outcome got = Decode(jobs[j]);
        const Outcome& want = alone[j];
        if (got.end != want.end || got.rows != want.rows || got.digest != want.digest ||
            got.leftover != want.leftover) {
          mismatches[static_cast<std::size_t>(t)].push_back(jobs[j].what + ": " +
                                                            HostEndName(got.end) + ", " +
                                                            std::to_string(got.rows) + " rows");
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    for (const std::string& m : mismatches[static_cast<std::size_t>(t)]) {
      ADD_FAILURE() << "thread " << t << ", " << m;
    }
  }
  std::printf("%d threads, %zu decodes each\n", kThreads, jobs.size() * kRoundsPerThread);
}

// Automatic mode weighs the image against the largest block the system grants, probed at every
// Start. An image whose bitmap takes 97 % of the budget must go to GDI+ every time, however often
// another thread probes meanwhile: the probes take turns, so none meets another's block.
TEST_F(Threads, AutomaticChoiceDoesNotDependOnOtherThreadsProbes) {
  if (IsGdiplusAvailable() == 0) {
    GTEST_SKIP() << "GDI+ cannot be loaded: automatic mode always streams";
  }
  constexpr std::uint32_t kWidth = 8000;
  const auto heightFor = [](std::uint64_t budget) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(budget * 97 / 100 / BmpFileSize(kWidth, 1), 65535));
  };
  std::uint64_t budget = AutomaticBudget(ProbeLargestAllocation(), 1);
  std::uint32_t height = heightFor(budget);
  ASSERT_GT(height, 0u);
  ASSERT_LE(BmpFileSize(kWidth, height), budget);
  std::atomic<bool> stop{false};
  std::atomic<int> streamed{0};
  std::thread other([&] {
    while (!stop.load()) {
      JpegDecodeInstance* instance = CreateJpegDecodeInstance();
      if (instance != nullptr) {
        instance->Start(64, 64, JPEGDEC_MODE_AUTO, 1);
        instance->Finish(nullptr);
        DeleteJpegDecodeInstance(instance);
      }
    }
  });
  for (int i = 0; i < kAutomaticStarts; ++i) {
    JpegDecodeInstance* instance = CreateJpegDecodeInstance();
    ASSERT_NE(instance, nullptr);
    instance->Start(kWidth, height, JPEGDEC_MODE_AUTO, 1);
    if (instance->IsStreaming() != 0) {
      // In a 32-bit process any new mapping (another thread's heap, a sanitizer's) may split the
      // largest free range for good. A Start counts as misled only when a probe made right
      // after it still finds room for the image; otherwise the test goes on at the new budget.
      const std::uint64_t now = AutomaticBudget(ProbeLargestAllocation(), 1);
      if (BmpFileSize(kWidth, height) <= now) {
        ++streamed;
      } else {
        budget = now;
        height = std::max(heightFor(now), 1u);
      }
    }
    instance->Finish(nullptr);
    DeleteJpegDecodeInstance(instance);
  }
  stop = true;
  other.join();
  EXPECT_EQ(streamed.load(), 0) << "of " << kAutomaticStarts << " Starts of an image at 97 % of "
                                << budget << " bytes";
}

// Instances created and deleted on several threads at once, with no lock in the host: the count
// ends at 0, and every id is the count just after the instance's own creation, so no more than
// the instances alive at that moment.
TEST_F(Threads, CreateAndDeleteFromSeveralThreadsAtOnce) {
  std::atomic<int> badIds{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      JpegDecodeInstance* held[kHeldInstances] = {};
      for (int round = 0; round < kCreateRounds; ++round) {
        for (JpegDecodeInstance*& instance : held) {
          instance = CreateJpegDecodeInstance();
        }
        for (JpegDecodeInstance*& instance : held) {
          if (instance == nullptr || instance->instanceId < 1 ||
              instance->instanceId > kThreads * kHeldInstances) {
            badIds.fetch_add(1);
          }
          if (instance == nullptr) {
            continue;
          }
          DeleteJpegDecodeInstance(instance);
          instance = nullptr;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(badIds.load(), 0) << "instances not created, or ids beyond the instances alive";
  EXPECT_EQ(UnInitializeJpegDec(), 0);
}

}  // namespace
}  // namespace jpegdec::test
