#include <background/core/Metadata.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using background::Metadata;

// Records go to files as they lie in memory (offsets are checked where they are declared): the padding of a
// value-initialised record must be zero, and the primary codes are stored numbers.
TEST(Records, ValueInitialisedPaddingAndPrimaryCodes) {
    alignas(Metadata) unsigned char bytes[sizeof(Metadata)];
    std::memset(bytes, 0xAB, sizeof bytes);
    new (bytes) Metadata{};
    EXPECT_EQ(std::count(bytes, bytes + sizeof bytes, 0), static_cast<long>(sizeof bytes));
    EXPECT_EQ(static_cast<int>(Metadata::GAMMA), 1);
    EXPECT_EQ(static_cast<int>(Metadata::PROTON), 14);
}

}  // namespace
