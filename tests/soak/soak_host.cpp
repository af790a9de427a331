// The soak host: decodes a mix of files many times in one process, as a scanner driver that
// stays loaded for days would, and checks that nothing accumulates. Several instances are alive
// at once and advance in turn (a few calls each), every decoding mode is used, and the pieces
// vary in size. scripts/soak.sh runs it, never ctest.
//
// Checked: every (file, way) pair gives the same rows, row length and end every time it is
// decoded (a digest of the first decode is the reference); no instance stays alive; the
// process's heap in use, blocks, locks and modules are where they were after the warm-up (one
// round of the mix in every mode). Its memory (working or resident set) is reported at the
// start, after the warm-up and at the end. In the Linux build the library is linked in and the
// portable platform's counters give blocks, locks and modules exactly; in the Windows build the
// host loads jpegdec.dll and the process's heaps and modules are counted through the system.
//
// Usage: soak_host [--decodes N] [--instances K] FILE... (@LIST: the paths listed in LIST)
// Exit status 0 when every check held, 1 otherwise, 2 for bad arguments or unreadable files.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
// windows.h first: psapi.h needs its types.
#include <psapi.h>

#include "jpegdec/jpegdec.h"
#else
#include <link.h>
#include <malloc.h>

#include "api/jpeg_decode_instance.h"
#include "jpegdec/jpegdec.h"
#include "platform/portable/test_hooks.h"
#endif

namespace {

constexpr std::int32_t kModes[] = {JPEGDEC_MODE_STREAMING, JPEGDEC_MODE_BUFFERED,
                                   JPEGDEC_MODE_GDIPLUS, JPEGDEC_MODE_AUTO};
constexpr std::size_t kModeCount = sizeof kModes / sizeof kModes[0];
// Piece sizes in turn (0: the whole file at once).
constexpr std::uint32_t kPieces[] = {4096, 0, 509, 65536, 37, 1024};
constexpr std::size_t kPieceCount = sizeof kPieces / sizeof kPieces[0];
// Calls an instance makes before the next one takes its turn.
constexpr int kCallsPerTurn = 24;
// Reads in a row without a row or any input accepted, once everything is written and
// EndOfInput called: the back-end keeps asking instead of ending (an error in every mode).
constexpr int kIdleReadsAllowed = 1000;

// ---- What the process holds ----

struct Footprint {
  std::uint64_t heapBytes = 0;     // bytes in use on the heap(s)
  std::uint64_t heapBlocks = 0;    // allocations in use (Windows: busy heap entries)
  std::int64_t libraryBlocks = 0;  // the library's movable blocks (Linux: exact; Windows: -1)
  std::int64_t lockedBlocks = 0;   // of which locked (Linux: exact; Windows: -1)
  std::int64_t libraryHeap = 0;    // the library's own heap allocations (Linux), else -1
  std::uint64_t modules = 0;       // modules mapped into the process
  std::uint64_t handles = 0;       // Windows: handles open; Linux: 0
  std::uint64_t memoryBytes = 0;   // working set (Windows) or resident set (Linux)
};

#if defined(_WIN32)

Footprint Measure() {
  Footprint f;
  HANDLE heaps[256];
  const DWORD count = GetProcessHeaps(256, heaps);
  for (DWORD i = 0; i < count && i < 256; ++i) {
    if (!HeapLock(heaps[i])) {
      continue;
    }
    PROCESS_HEAP_ENTRY entry;
    entry.lpData = nullptr;
    while (HeapWalk(heaps[i], &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
        f.heapBytes += entry.cbData;
        ++f.heapBlocks;
      }
    }
    HeapUnlock(heaps[i]);
  }
  f.libraryBlocks = -1;
  f.lockedBlocks = -1;
  f.libraryHeap = -1;
  HMODULE modules[1024];
  DWORD needed = 0;
  if (EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &needed)) {
    f.modules = needed / sizeof(HMODULE);
  }
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles)) {
    f.handles = handles;
  }
  PROCESS_MEMORY_COUNTERS_EX counters;
  if (GetProcessMemoryInfo(GetCurrentProcess(),
                           reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof counters)) {
    // The working set: Wine counts reserved address space as private bytes.
    f.memoryBytes = counters.WorkingSetSize;
  }
  return f;
}

#else

int CountModule(dl_phdr_info* /*info*/, std::size_t /*size*/, void* data) {
  ++*static_cast<std::uint64_t*>(data);
  return 0;
}

Footprint Measure() {
  namespace hooks = jpegdec::platform::testing;
  Footprint f;
  // glibc counts the chunks its per-thread cache holds back as in use, so the figure drifts by
  // a few KiB with whichever sizes were freed last; scripts/soak.sh turns that cache off
  // (GLIBC_TUNABLES=glibc.malloc.tcache_count=0) to make it exact.
  const struct mallinfo2 heap = mallinfo2();
  f.heapBytes = heap.uordblks + heap.hblkhd;
  f.heapBlocks = 0;
  f.libraryBlocks = hooks::LiveBlocks();
  f.lockedBlocks = hooks::LockedBlocks();
  f.libraryHeap = hooks::LiveHeapAllocations();
  dl_iterate_phdr(CountModule, &f.modules);
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    unsigned long size = 0;
    unsigned long resident = 0;
    if (std::fscanf(statm, "%lu %lu", &size, &resident) == 2) {
      f.memoryBytes = std::uint64_t{resident} * 4096u;
    }
    std::fclose(statm);
  }
  return f;
}

#endif

void PrintFootprint(const char* when, const Footprint& f) {
  std::printf(
      "%-18s heap %llu bytes in %llu blocks; library blocks %lld (locked %lld), library heap "
      "allocations %lld; modules %llu; handles %llu; process memory %.1f MiB\n",
      when, static_cast<unsigned long long>(f.heapBytes),
      static_cast<unsigned long long>(f.heapBlocks), static_cast<long long>(f.libraryBlocks),
      static_cast<long long>(f.lockedBlocks), static_cast<long long>(f.libraryHeap),
      static_cast<unsigned long long>(f.modules), static_cast<unsigned long long>(f.handles),
      static_cast<double>(f.memoryBytes) / (1024.0 * 1024.0));
}

// ---- One decode, advanced a few calls at a time ----

struct Outcome {
  std::uint64_t digest = 0;
  std::uint32_t rows = 0;
  std::uint32_t rowLength = 0;
  std::int32_t end = 0;  // 2, -1, 1 (cut short), or 0 when Start failed
  bool operator==(const Outcome& o) const {
    return digest == o.digest && rows == o.rows && rowLength == o.rowLength && end == o.end;
  }
};

std::uint64_t Mix(std::uint64_t hash, const std::uint8_t* bytes, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    hash = (hash ^ bytes[i]) * 0x100000001B3ull;
  }
  return hash;
}

class Decode {
 public:
  Decode(const std::vector<std::uint8_t>* file, std::size_t fileIndex, std::int32_t mode,
         std::uint32_t piece)
      : file_(file), fileIndex_(fileIndex), mode_(mode), piece_(piece) {
    instance_ = CreateJpegDecodeInstance();
    outcome_.digest = 0xCBF29CE484222325ull;
    if (instance_ == nullptr) {
      done_ = true;
      return;
    }
    // A driver passes the page it expects; the data gives the real size. A positive divisor for
    // the automatic choice.
    if (instance_->Start(2480, 3508, mode, 1) != 1) {
      Close(0);
      return;
    }
    streaming_ = instance_->IsStreaming() == 1;
  }

  bool done() const { return done_; }
  std::size_t fileIndex() const { return fileIndex_; }
  std::int32_t mode() const { return mode_; }
  // The way the decode went: automatic mode counts as the way it chose (streaming, or GDI+ with
  // its own fallback), so that its rows are compared with that way's.
  std::int32_t way() const {
    if (mode_ != JPEGDEC_MODE_AUTO) {
      return mode_;
    }
    return streaming_ ? JPEGDEC_MODE_STREAMING : JPEGDEC_MODE_GDIPLUS;
  }
  const Outcome& outcome() const { return outcome_; }

  // Up to kCallsPerTurn calls of the host loop.
  void Advance() {
    for (int call = 0; call < kCallsPerTurn && !done_; ++call) {
      std::uint8_t* row = nullptr;
      std::uint32_t length = 0;
      const std::int32_t read = instance_->Read(&row, &length);
      if (read == JPEGDEC_READ_ROW) {
        outcome_.digest = Mix(outcome_.digest, row, length);
        outcome_.rowLength = length;
        ++outcome_.rows;
        idle_ = 0;
        continue;
      }
      if (read != JPEGDEC_READ_AGAIN) {
        Close(read);
        return;
      }
      const std::size_t size = file_->size();
      if (fed_ < size) {
        const std::size_t left = size - fed_;
        const std::size_t want = piece_ == 0 ? left : std::min<std::size_t>(piece_, left);
        if (instance_->Write(file_->data() + fed_, static_cast<std::uint32_t>(want)) == 1) {
          fed_ += want;
          idle_ = 0;
        }  // a refused piece is offered again, whole, after the next Read
        continue;
      }
      if (!inputEnded_) {
        instance_->EndOfInput(0x7FFFFFFF);
        inputEnded_ = true;
        continue;
      }
      if (++idle_ > kIdleReadsAllowed) {
        // Every byte written, EndOfInput called, and the decoder still asks: stuck.
        Close(3);
        return;
      }
    }
  }

 private:
  void Close(std::int32_t end) {
    outcome_.end = end;
    instance_->Finish(nullptr);
    DeleteJpegDecodeInstance(instance_);
    instance_ = nullptr;
    done_ = true;
  }

  const std::vector<std::uint8_t>* file_;
  std::size_t fileIndex_;
  std::int32_t mode_;
  std::uint32_t piece_;
  JpegDecodeInstance* instance_ = nullptr;
  Outcome outcome_;
  std::size_t fed_ = 0;
  bool inputEnded_ = false;
  bool streaming_ = false;
  bool done_ = false;
  int idle_ = 0;
};

bool LoadFile(const char* path, std::vector<std::uint8_t>* out) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    return false;
  }
  std::uint8_t buffer[65536];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    out->insert(out->end(), buffer, buffer + got);
  }
  std::fclose(file);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t decodes = 10000;
  std::size_t instances = 4;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--decodes") == 0 && i + 1 < argc) {
      decodes = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--instances") == 0 && i + 1 < argc) {
      instances = static_cast<std::size_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (argv[i][0] == '@') {
      // A list of files, one path a line (a command line on Windows holds 32767 characters).
      std::FILE* list = std::fopen(argv[i] + 1, "r");
      if (list == nullptr) {
        std::fprintf(stderr, "cannot read %s\n", argv[i] + 1);
        return 2;
      }
      char line[4096];
      while (std::fgets(line, sizeof line, list) != nullptr) {
        std::size_t length = std::strlen(line);
        while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
          line[--length] = '\0';
        }
        if (length > 0) {
          paths.emplace_back(line);
        }
      }
      std::fclose(list);
    } else {
      paths.emplace_back(argv[i]);
    }
  }
  if (paths.empty() || decodes == 0 || instances == 0) {
    std::fprintf(stderr, "usage: soak_host [--decodes N] [--instances K] FILE... | @LIST\n");
    return 2;
  }
  std::vector<std::vector<std::uint8_t>> files(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (!LoadFile(paths[i].c_str(), &files[i])) {
      std::fprintf(stderr, "cannot read %s\n", paths[i].c_str());
      return 2;
    }
  }

  const Footprint start = Measure();
  PrintFootprint("start:", start);
  InitializeJpegDec();

  // The jobs in order: round r decodes every file once, each file in the mode and with the
  // piece size the round and its index pick, so every file meets every mode and piece size.
  const std::size_t roundSize = files.size();
  std::vector<Outcome> reference(files.size() * kModeCount);
  std::vector<bool> known(files.size() * kModeCount, false);
  std::uint64_t started = 0;
  std::uint64_t finished = 0;
  std::uint64_t mismatches = 0;
  std::uint64_t ends[4] = {};  // end 2, -1, 1 (none since EndOfInput ends a stream), other
  Footprint afterFirstRound;
  bool firstRoundMeasured = false;
  std::vector<Decode*> live;
  const auto began = std::chrono::steady_clock::now();

  auto settle = [&](Decode* d) {
    const std::size_t key = d->fileIndex() * kModeCount + static_cast<std::size_t>(d->way());
    if (!known[key]) {
      reference[key] = d->outcome();
      known[key] = true;
    } else if (!(reference[key] == d->outcome())) {
      ++mismatches;
      std::printf("MISMATCH %s mode %d (way %d): rows %u/%u, end %d/%d\n",
                  paths[d->fileIndex()].c_str(), d->mode(), d->way(), d->outcome().rows,
                  reference[key].rows, d->outcome().end, reference[key].end);
    }
    const std::int32_t end = d->outcome().end;
    ++ends[end == 2 ? 0 : end == -1 ? 1 : end == 1 ? 2 : 3];
    ++finished;
    delete d;
  };

  const std::uint64_t warmUp = roundSize * kModeCount;
  while (finished < decodes) {
    // No decode past the warm-up starts before the warm-up's last one has finished.
    while (live.size() < instances && started < decodes &&
           (firstRoundMeasured || started < warmUp)) {
      const std::uint64_t round = started / roundSize;
      const std::size_t index = static_cast<std::size_t>(started % roundSize);
      const std::int32_t mode = kModes[(round + index) % kModeCount];
      const std::uint32_t piece = kPieces[(round / kModeCount + index) % kPieceCount];
      live.push_back(new Decode(&files[index], index, mode, piece));
      ++started;
    }
    for (Decode* d : live) {
      d->Advance();
    }
    for (std::size_t i = 0; i < live.size();) {
      if (live[i]->done()) {
        settle(live[i]);
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    // The first full round of every mode is the warm-up: what it leaves (the runtime's and the
    // system's lazily made structures) is the level every later point must return to.
    if (!firstRoundMeasured && live.empty() && finished >= warmUp) {
      afterFirstRound = Measure();
      firstRoundMeasured = true;
      PrintFootprint("after warm-up:", afterFirstRound);
    }
  }

  const std::int32_t alive = UnInitializeJpegDec();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const Footprint end = Measure();
  PrintFootprint("end:", end);
  if (!firstRoundMeasured) {
    afterFirstRound = end;  // no more decodes than the warm-up: nothing to compare
  }
  std::printf(
      "%llu decodes of %zu files in %.1f s (%.1f per second), %zu instances at a time: "
      "%llu ended, %llu failed, %llu left waiting, %llu other; %llu mismatches; %d instances "
      "left\n",
      static_cast<unsigned long long>(finished), files.size(), seconds,
      static_cast<double>(finished) / seconds, instances, static_cast<unsigned long long>(ends[0]),
      static_cast<unsigned long long>(ends[1]), static_cast<unsigned long long>(ends[2]),
      static_cast<unsigned long long>(ends[3]), static_cast<unsigned long long>(mismatches), alive);

  bool ok = mismatches == 0 && alive == 0 && ends[2] == 0 && ends[3] == 0;
  auto expect = [&](bool held, const char* what) {
    if (!held) {
      std::printf("FAILED: %s\n", what);
      ok = false;
    }
  };
  expect(end.heapBytes == afterFirstRound.heapBytes, "heap bytes in use changed");
  expect(end.heapBlocks == afterFirstRound.heapBlocks, "heap blocks in use changed");
  expect(end.libraryBlocks <= 0 && end.lockedBlocks <= 0, "library blocks left or locked");
  expect(end.libraryHeap <= 0, "library heap allocations left");
  expect(end.modules == afterFirstRound.modules, "modules loaded changed");
  expect(end.handles == afterFirstRound.handles, "open handles changed");
  std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
  return ok ? 0 : 1;
}
