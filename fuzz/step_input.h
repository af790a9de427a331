// The input of a decoder stepped directly, kept as the streaming back-end keeps it: after
// JD_NEED_DATA the unread tail of the latest input followed by the next piece, in a buffer of
// exactly that size (so that a read past it is caught), and a bound on the steps that make no
// progress.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder/decoder.h"
#include "decoder/decoder_context.h"
#include "fuzz_input.h"

namespace jpegdec::fuzz {

class StepInput {
 public:
  // Steps in a row that neither consume input nor hand out a band: a marker met in the scan
  // data costs one, a restart marker two; more than this without progress is a hang.
  static constexpr int kIdleStepsAllowed = 64;

  // `pieces` null: the input in one piece.
  StepInput(const std::uint8_t* data, std::size_t size, Pieces* pieces)
      : data_(data), size_(size), pieces_(pieces) {}

  // Whether the next step takes new input: the first, and every one after JD_NEED_DATA.
  bool WantsPiece() const { return wantsPiece_; }
  // Whether every byte has been given (after the first piece, which may be empty).
  bool AllGiven() const { return given_ && fed_ == size_; }

  // The unread tail followed by the next piece, in a new buffer of exactly that size.
  void AppendNextPiece() {
    const std::size_t left = size_ - fed_;
    const std::size_t piece = pieces_ != nullptr ? pieces_->Next(left) : left;
    std::vector<std::uint8_t> next(buffer_.size() + piece);
    std::copy(buffer_.begin(), buffer_.end(), next.begin());
    std::copy(data_ + fed_, data_ + fed_ + piece,
              next.begin() + static_cast<std::ptrdiff_t>(buffer_.size()));
    buffer_.swap(next);
    fed_ += piece;
    given_ = true;
    wantsPiece_ = false;
  }

  const std::uint8_t* data() const { return buffer_.data(); }
  std::int32_t size() const { return static_cast<std::int32_t>(buffer_.size()); }

  // Keeps the tail a step that answered JD_NEED_DATA left unread (inside the buffer).
  void KeepTail(const StepResult& result) {
    std::vector<std::uint8_t> tail(result.data, result.data + result.count);
    buffer_.swap(tail);
    wantsPiece_ = true;
    Progress();
  }

  // Input taken or a band handed out.
  void Progress() { idleSteps_ = 0; }

  // A JD_OK step: progress when it consumed input (a marker met in the scan data, a restart),
  // else one more idle step, of which there may be only so many in a row.
  void NoteOkStep(const DecoderContext* context) {
    if (context->inAvail != unread_) {
      idleSteps_ = 0;
    }
    unread_ = context->inAvail;
    Check(++idleSteps_ <= kIdleStepsAllowed, "steps without progress");
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  Pieces* pieces_;
  std::vector<std::uint8_t> buffer_;  // what the latest adopting step was given
  std::size_t fed_ = 0;
  bool given_ = false;
  bool wantsPiece_ = true;
  int idleSteps_ = 0;
  std::int32_t unread_ = -1;  // the context's unread input after the latest JD_OK step
};

}  // namespace jpegdec::fuzz
