// SPDX-License-Identifier: MIT
// The record bytes.
#include <gtest/gtest.h>

#include "statpipe.h"

TEST(EncodeStatusRecord, ChannelPlusBaseThenValueBigEndian)
{
    const struct {
        channel which;
        uint8_t base;
        int32_t value;
        uint8_t expected[3];
    } cases[] = {
        {CHANNEL_FAN, 0, 4500, {0x03, 0x11, 0x94}},
        {CHANNEL_TEMPERATURE, 0, 727, {0x04, 0x02, 0xD7}},
        {CHANNEL_LOAD, 254, 65535, {0xFE, 0xFF, 0xFF}},
        {CHANNEL_MEMORY, 254, 0, {0x00, 0x00, 0x00}},  // the carry is dropped
        {CHANNEL_TEMPERATURE, 255, 1, {0x03, 0x00, 0x01}},
        {CHANNEL_PROCESSES, 44, 70000, {0x2D, 0x11, 0x70}},  // bits 16 and up dropped
        {CHANNEL_FAN, 0, -1, {0x03, 0xFF, 0xFF}},            // a fan the chip cannot count
        {CHANNEL_TEMPERATURE, 0, INT32_MIN, {0x04, 0x00, 0x00}},
    };
    for (const auto &c : cases) {
        status_record r = encode_status_record(c.which, c.base, c.value);
        EXPECT_EQ(r.bytes[0], c.expected[0]) << c.which << " " << int(c.base) << " " << c.value;
        EXPECT_EQ(r.bytes[1], c.expected[1]) << c.value;
        EXPECT_EQ(r.bytes[2], c.expected[2]) << c.value;
    }
}
