// The host's side of the input for the fuzz targets that drive the public operations, as a
// scanner driver does it whenever Read answers 1: write the input's next piece (a refused one is
// offered again after the next Read; with shrinking, halved once refused twice running), and
// once every byte is written, EndOfInput, once. After that a Read answering 1 is idle, and the
// idle Reads in a row stay within a bound that grows with the input, or the decode hangs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/jpeg_decode_instance.h"
#include "fuzz_input.h"
#include "jpegdec/jpegdec.h"

namespace jpegdec::fuzz {

// What the host does with a piece refused twice running: offer it again, whole, as the public
// header tells hosts to do (an instance that never takes it then hangs), or halve it.
enum class Refused { kOfferAgain, kShrink };

class HostInput {
 public:
  HostInput(const std::uint8_t* data, std::size_t size, Pieces* pieces, std::int32_t rowLimit,
            Refused refused)
      : data_(data),
        size_(size),
        pieces_(pieces),
        rowLimit_(rowLimit),
        shrinkRefused_(refused == Refused::kShrink),
        idleAllowed_(64 + std::uint64_t{size}) {}

  // A row came out: progress.
  void NoteRow() { idleReads_ = 0; }

  // What the host does after a Read that answered 1. False once the input has ended and the
  // idle Reads in a row pass the bound.
  bool Feed(JpegDecodeInstance* instance) {
    if (fed_ < size_) {
      if (pieceLeft_ == 0) {
        pieceLeft_ = pieces_->Next(size_ - fed_);
      }
      if (instance->Write(data_ + fed_, static_cast<std::uint32_t>(pieceLeft_)) == 1) {
        fed_ += pieceLeft_;
        pieceLeft_ = 0;
        idleReads_ = 0;
      } else if (idleReads_++ > 0 && shrinkRefused_) {
        pieceLeft_ = pieceLeft_ > 1 ? pieceLeft_ / 2 : 1;
      }
      return true;
    }
    if (!inputEnded_) {
      instance->EndOfInput(rowLimit_);
      inputEnded_ = true;
      return true;
    }
    return ++idleReads_ <= idleAllowed_;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  Pieces* pieces_;
  std::int32_t rowLimit_;
  bool shrinkRefused_;
  std::uint64_t idleAllowed_;
  std::size_t fed_ = 0;
  std::size_t pieceLeft_ = 0;  // of a piece refused: what to offer again
  bool inputEnded_ = false;
  std::uint64_t idleReads_ = 0;
};

// Reads until Read answers neither 0 (a row, handed to `onRow`) nor 1 (after which `input` is
// fed), and returns that answer. Fails the run at `callLimit` calls, or when Read keeps
// answering 1 after the input ended.
template <typename OnRow>
std::int32_t ReadToTheEnd(JpegDecodeInstance* instance, HostInput* input, std::uint64_t callLimit,
                          OnRow onRow) {
  for (std::uint64_t calls = 0;; ++calls) {
    Check(calls < callLimit, "call limit reached: the decode does not end");
    std::uint8_t* row = nullptr;
    std::uint32_t length = 0;
    const std::int32_t read = instance->Read(&row, &length);
    if (read == JPEGDEC_READ_ROW) {
      onRow(row, length);
      continue;
    }
    if (read != JPEGDEC_READ_AGAIN) {
      return read;
    }
    Check(input->Feed(instance), "a decode keeps answering 1 after the input ended");
  }
}

}  // namespace jpegdec::fuzz
