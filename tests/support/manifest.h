// The corpus catalogue (MANIFEST.tsv): one row per file, columns by name.
#pragma once

#include <map>
#include <string>

namespace jpegdec::test {

// Keyed by the file's path inside the corpus ("decodable/x.jpg"); each row maps column names to
// values. Empty when the corpus or its catalogue is absent.
using Manifest = std::map<std::string, std::map<std::string, std::string>>;
Manifest ReadManifest();

// The value of `column` for `file` ("folder/name.jpg"), or "" when either is unknown.
std::string ManifestValue(const Manifest& manifest, const std::string& file,
                          const std::string& column);

// "decodable/x.jpg" from a full path inside the corpus.
std::string CorpusRelative(const std::string& path);

}  // namespace jpegdec::test
