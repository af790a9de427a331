// FNV-1a over bytes: the digest the test host, the fuzz targets and their comparisons keep of
// every row handed out, so that two decodes compare without keeping their rows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jpegdec::test {

inline constexpr std::uint64_t kDigestStart = 14695981039346656037ull;  // FNV offset basis

// `digest` followed by `count` bytes.
inline std::uint64_t Digest(std::uint64_t digest, const std::uint8_t* bytes, std::size_t count) {
  constexpr std::uint64_t kPrime = 1099511628211ull;  // FNV prime
  for (std::size_t i = 0; i < count; ++i) {
    digest = (digest ^ bytes[i]) * kPrime;
  }
  return digest;
}

}  // namespace jpegdec::test
