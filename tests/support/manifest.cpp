#include "support/manifest.h"

#include <sstream>
#include <vector>

#include "support/files.h"

namespace jpegdec::test {
namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream stream(line);
  while (std::getline(stream, field, '\t')) {
    fields.push_back(field);
  }
  return fields;
}

}  // namespace

Manifest ReadManifest() {
  Manifest manifest;
  const std::string dir = CorpusDir();
  if (dir.empty()) {
    return manifest;
  }
  const std::vector<std::uint8_t> bytes = ReadFileBytes(dir + "/MANIFEST.tsv");
  std::istringstream text(std::string(bytes.begin(), bytes.end()));
  std::string line;
  std::vector<std::string> columns;
  while (std::getline(text, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    std::vector<std::string> fields = SplitTabs(line);
    if (columns.empty()) {
      columns = fields;
      continue;
    }
    if (fields.empty()) {
      continue;
    }
    auto& row = manifest[fields[0]];
    for (std::size_t i = 0; i < fields.size() && i < columns.size(); ++i) {
      row[columns[i]] = fields[i];
    }
  }
  return manifest;
}

std::string ManifestValue(const Manifest& manifest, const std::string& file,
                          const std::string& column) {
  const auto row = manifest.find(file);
  if (row == manifest.end()) {
    return "";
  }
  const auto value = row->second.find(column);
  return value == row->second.end() ? "" : value->second;
}

std::string CorpusRelative(const std::string& path) {
  // Windows builds list directories with backslashes; the catalogue uses slashes.
  std::string relative = path;
  for (char& c : relative) {
    if (c == '\\') {
      c = '/';
    }
  }
  const std::string dir = CorpusDir();
  if (!dir.empty() && relative.compare(0, dir.size() + 1, dir + "/") == 0) {
    return relative.substr(dir.size() + 1);
  }
  return relative;
}

}  // namespace jpegdec::test
