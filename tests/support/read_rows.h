// Reading every row a back-end hands out (or an instance: anything with Read(uint8_t**,
// uint32_t*) answering 0 for a row), for the tests that feed the whole input before reading.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace jpegdec::test {

// Reads until Read answers other than 0, keeping each row in `rows` (when not null); returns that
// answer, or 0 when `mostReads` rows came and more may follow.
template <typename Reader>
std::int32_t ReadRows(Reader& reader, std::vector<std::vector<std::uint8_t>>* rows,
                      int mostReads = 1000000) {
  std::int32_t result = 0;
  for (int reads = 0; reads < mostReads; ++reads) {
    std::uint8_t* row = nullptr;
    std::uint32_t length = 0;
    result = reader.Read(&row, &length);
    if (result != 0) {
      break;
    }
    if (rows != nullptr) {
      rows->emplace_back(row, row + length);
    }
  }
  return result;
}

// Reads as ReadRows does; success when `count` rows of `length` bytes each came, then `end`.
template <typename Reader>
::testing::AssertionResult RowsThenEnd(Reader& reader, std::size_t count, std::size_t length,
                                       std::int32_t end) {
  std::vector<std::vector<std::uint8_t>> rows;
  const std::int32_t result = ReadRows(reader, &rows);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].size() != length) {
      return ::testing::AssertionFailure()
             << "row " << i << " has " << rows[i].size() << " bytes, not " << length;
    }
  }
  if (rows.size() != count || result != end) {
    return ::testing::AssertionFailure() << rows.size() << " rows, then " << result << "; wanted "
                                         << count << " rows, then " << end;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace jpegdec::test
