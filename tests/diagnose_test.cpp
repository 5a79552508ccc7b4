// SPDX-License-Identifier: MIT
// Messages written whole, with their texts in place of the placeholders.
#include <gtest/gtest.h>

#include "harness.h"
#include "statpipe.h"

TEST(Diagnose, TextsInPlaceOfPlaceholders)
{
    const struct {
        const char *message, *first, *second;
        std::string written;
    } cases[] = {
        {"Reading end reconnected.\n", nullptr, nullptr, "Reading end reconnected.\n"},
        {"Cannot open FIFO file %s\n", "/tmp/p", nullptr, "Cannot open FIFO file /tmp/p\n"},
        {"Cannot open FIFO file %s\n", "/tmp/%s", nullptr,
         "Cannot open FIFO file /tmp/%s\n"},  // taken as it is
        {"Cannot open FIFO file %s\n", nullptr, nullptr, "Cannot open FIFO file \n"},
        {"cannot run %s: %s\n", "x", "No such file", "cannot run x: No such file\n"},
        {"%s%s", "a", "b", "ab"},
        {"%s and %s and %s\n", "a", "b", "a and b and %s\n"},  // two at the most
    };
    for (const auto &c : cases)
        EXPECT_EQ(capture_stderr([&] { diagnose(c.message, c.first, c.second); }), c.written) << c.message;
}
