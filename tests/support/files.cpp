#include "support/files.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace jpegdec::test {

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return bytes;
  }
  std::uint8_t chunk[65536];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
    if (got == 0) {
      break;
    }
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  std::fclose(file);
  return bytes;
}

std::string CorpusDir() {
  std::error_code error;
  const std::string dir = JPEGDEC_CORPUS_DIR;
  if (std::filesystem::is_directory(dir + "/decodable", error)) {
    return dir;
  }
  return "";
}

std::vector<std::string> CorpusFiles(const std::string& folder) {
  std::vector<std::string> files;
  const std::string dir = CorpusDir();
  if (dir.empty()) {
    return files;
  }
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir + "/" + folder, error)) {
    if (entry.is_regular_file()) {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace jpegdec::test
