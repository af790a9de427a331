#include <gtest/gtest.h>

#include "decoder/decoder.h"

TEST(Smoke, StatusCodesAreErrorsFromTheHighBit) {
  EXPECT_FALSE(jpegdec::IsError(jpegdec::JD_BAND_READY));
  EXPECT_TRUE(jpegdec::IsError(jpegdec::JD_ERR_SEQUENCE));
}
