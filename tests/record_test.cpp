// The record bytes and the base address conversion.
#include <gtest/gtest.h>

#include "statpipe.h"

TEST(EncodeStatusRecord, ChannelPlusBaseThenValueBigEndian)
{
    const struct {
        unsigned channel;
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
        status_record r = encode_status_record(c.channel, c.base, c.value);
        EXPECT_EQ(r.bytes[0], c.expected[0]) << c.channel << " " << int(c.base) << " " << c.value;
        EXPECT_EQ(r.bytes[1], c.expected[1]) << c.value;
        EXPECT_EQ(r.bytes[2], c.expected[2]) << c.value;
    }
}

TEST(ParseBaseAddress, AtoiSyntaxLowEightBitsSaturating)
{
    const struct {
        const char *text;
        unsigned expected;
    } cases[] = {
        {"0", 0},
        {"300", 44},
        {"254", 254},
        {"  \t\n 17", 17},
        {"+5", 5},
        {"-1", 255},
        {"-256", 0},
        {"12abc", 12},
        {"0x10", 0},
        {"word", 0},
        {"", 0},
        {"- 5", 0},
        {"2147483647", 255},
        {"2147483648", 255},  // saturates at the top of 32 bits, on every target
        {"4294967297", 255},
        {"99999999999999999999", 255},
        {"-2147483648", 0},
        {"-2147483649", 0},  // and at the bottom
        {"-4294967041", 0},
        {"-99999999999999999999", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse_base_address(c.text), c.expected) << '"' << c.text << '"';
}
