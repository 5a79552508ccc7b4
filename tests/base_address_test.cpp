// SPDX-License-Identifier: MIT
// The base address operand, read as atoi reads it, saturating at 32 bits.
#include <gtest/gtest.h>

#include "statpipe.h"

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
