#include <background/core/BackgroundEvent.hpp>
#include <background/core/Metadata.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace {

using background::BackgroundEvent;
using background::Metadata;

// The records are written to files as they lie in memory.
TEST(Records, LayoutsAreTheFileFormat) {
    std::array<unsigned char, sizeof(Metadata)> zeroed;
    zeroed.fill(0xAB);
    new (zeroed.data()) Metadata{};
    for (unsigned char b : zeroed) EXPECT_EQ(b, 0) << "value-initialised metadata has padding left over";

    BackgroundEvent event{1.5, -3, 0x0102030405060708u};
    std::array<unsigned char, 24> bytes;
    std::memcpy(bytes.data(), &event, sizeof event);
    double time;
    std::int32_t type;
    std::memcpy(&time, bytes.data(), 8);
    std::memcpy(&type, bytes.data() + 8, 4);
    EXPECT_EQ(time, 1.5);
    EXPECT_EQ(type, -3);
    EXPECT_EQ(bytes[16], 0x08);  // little-endian id at offset 16
    EXPECT_EQ(bytes[23], 0x01);
    EXPECT_EQ(static_cast<int>(Metadata::GAMMA), 1);
    EXPECT_EQ(static_cast<int>(Metadata::PROTON), 14);
}

}  // namespace
