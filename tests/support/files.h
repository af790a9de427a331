// File and corpus helpers for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace jpegdec::test {

// The whole file, or an empty vector when it cannot be read.
std::vector<std::uint8_t> ReadFileBytes(const std::string& path);

// The external corpus directory, or "" when it is absent (tests then skip, saying so).
std::string CorpusDir();

// Files of one corpus folder ("decodable", "refuse", "corrupt", "fuzz"), sorted, full paths.
std::vector<std::string> CorpusFiles(const std::string& folder);

}  // namespace jpegdec::test
