#include <background/core/BackgroundEvent.hpp>
#include <background/core/Metadata.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

using background::BackgroundEvent;
using background::Metadata;

TEST(Records, ValueInitialisedMetadataIsAllZeroBytes) {
    std::array<unsigned char, sizeof(Metadata)> bytes;
    bytes.fill(0xAB);
    auto* record = new (bytes.data()) Metadata{};
    (void)record;
    for (unsigned char b : bytes) EXPECT_EQ(b, 0);
}

TEST(Records, EventFieldsLieAtTheirFileOffsets) {
    BackgroundEvent event{};
    event.time = 1.5;
    event.type = -3;
    event.id = 0x0102030405060708u;
    std::array<unsigned char, 24> bytes;
    std::memcpy(bytes.data(), &event, sizeof event);
    double time;
    std::memcpy(&time, bytes.data(), 8);
    std::int32_t type;
    std::memcpy(&type, bytes.data() + 8, 4);
    EXPECT_EQ(time, 1.5);
    EXPECT_EQ(type, -3);
    EXPECT_EQ(bytes[16], 0x08);  // little-endian id
    EXPECT_EQ(bytes[23], 0x01);
}

TEST(Records, PrimaryValues) {
    EXPECT_EQ(static_cast<int>(Metadata::GAMMA), 1);
    EXPECT_EQ(static_cast<int>(Metadata::PROTON), 14);
}

}  // namespace
