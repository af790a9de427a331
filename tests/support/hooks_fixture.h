// A fixture for the tests that use the portable platform's hooks (portable build only): the
// hooks are reset around each test, and after it nothing is left behind that was not there
// before: movable blocks, heap allocations, loaded modules, locks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/portable/test_hooks.h"

namespace jpegdec::test {

class HooksFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::testing::ResetHooks();
    blocks_ = platform::testing::LiveBlocks();
    heap_ = platform::testing::LiveHeapAllocations();
    modules_ = platform::testing::LiveModules();
  }
  void TearDown() override {
    platform::testing::ResetHooks();
    EXPECT_EQ(platform::testing::LiveBlocks(), blocks_) << "movable blocks leaked";
    EXPECT_EQ(platform::testing::LiveHeapAllocations(), heap_) << "heap allocations leaked";
    EXPECT_EQ(platform::testing::LiveModules(), modules_) << "modules left loaded";
    EXPECT_EQ(platform::testing::LockedBlocks(), 0) << "blocks left locked";
  }

  // What was alive when the test began.
  std::int64_t blocks_ = 0;
  std::int64_t heap_ = 0;
  std::int64_t modules_ = 0;
};

}  // namespace jpegdec::test
