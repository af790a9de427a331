// What the tool says when a decode does not give a whole image: why, in the same words in every
// mode that decodes or checks the data with the library's decoder.
#pragma once

#include <cstdint>
#include <string>

#include "host_session.h"
#include "image_writer.h"
#include "jpegdec/jpegdec_probe.h"

namespace jpegdec_cli {

// Why the decode did not give a whole image, or "" when it did. `requested` is the mode the user
// chose, `mode` the one the instance was started in (automatic mode streams a page of unknown
// length). The same data gets the same words in every mode that decodes it with the library's
// decoder, and in GDI+ mode where that decoder checks GDI+'s rows.
std::string WhyNotDecoded(const SessionResult& session, const JpegDecFrameInfo& frame,
                          std::int32_t requested, std::int32_t mode);

// The note for a file GDI+ decoded that the library's decoder does not take, so that nothing
// checked it for damage.
std::string UncheckedNote(const JpegDecFrameInfo& frame);

// What --grey cannot turn into grey, or "" (R, G, B and grey rows can).
std::string GreyProblem(const ImageShape& shape);

}  // namespace jpegdec_cli
