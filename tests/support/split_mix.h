// The pseudo-random numbers of the tests, the fuzz targets and the benchmarks: splitmix64, small,
// fast, and the same sequence for a seed on every platform and compiler (unlike the standard
// library's distributions), so that a case can be named by its seed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jpegdec::test {

class SplitMix {
 public:
  explicit SplitMix(std::uint64_t seed) : state_(seed) {}

  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 .. n-1 (n > 0).
  std::size_t Below(std::size_t n) { return static_cast<std::size_t>(Next() % n); }
  // [0, 1) with the 53 bits of a double.
  double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
  // [lo, hi).
  double Range(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
  // lo .. hi, both included.
  int Int(int lo, int hi) {
    return lo + static_cast<int>(Next() % static_cast<std::uint64_t>(hi - lo + 1));
  }

 private:
  std::uint64_t state_;
};

}  // namespace jpegdec::test
