// SPDX-License-Identifier: MIT
// Decoding records back into readings, and the exact lines of each format.
#include <gtest/gtest.h>

#include "decode.h"

TEST(DecodeRecord, EveryChannelAndItsExtremes)
{
    const struct {
        uint8_t bytes[3];
        uint8_t base;
        unsigned channel;
        const char *name;
        unsigned raw;
        double value;
        bool saturated;
    } cases[] = {
        {{0x00, 0x00, 0x00}, 0, 0, "load", 0, 0.0, false},
        {{0x00, 0x80, 0x00}, 0, 0, "load", 32768, 0.5, false},
        {{0x00, 0xFF, 0xFE}, 0, 0, "load", 65534, 0.999969482421875, false},
        {{0x00, 0xFF, 0xFF}, 0, 0, "load", 65535, 1.0, true},
        {{0x01, 0xFF, 0xFF}, 0, 1, "processes", 65535, 65535, false},
        {{0x02, 0x00, 0x00}, 0, 2, "memory", 0, 0.0, false},
        {{0x02, 0xFF, 0xFF}, 0, 2, "memory", 65535, 100.0, false},
        {{0x03, 0x11, 0x94}, 0, 3, "fan", 4500, 4500, false},
        {{0x03, 0xFF, 0xFF}, 0, 3, "fan", 65535, -1, false},
        {{0x03, 0x80, 0x00}, 0, 3, "fan", 32768, -32768, false},
        // the middle of each record's range: 727 is 45.44 to 45.58
        {{0x04, 0x02, 0xD7}, 0, 4, "temperature", 727, 45.50833333333333, false},
        {{0x04, 0x01, 0x9A}, 0, 4, "temperature", 410, 0.07166666666666667, false},
        {{0x04, 0x00, 0x1A}, 0, 4, "temperature", 26, -54.968333333333334, false},
        {{0x04, 0x00, 0x00}, 0, 4, "temperature", 0, -58.766666666666666, false},     // -1 to 1
        {{0x04, 0xFE, 0xE2}, 0, 4, "temperature", 65250, -99.83166666666666, false},  // -286: -287 to -286
        {{0x05, 0x12, 0x34}, 0, 5, "unknown", 0x1234, 0x1234, false},
        {{0x02, 0x00, 0x01}, 254, 4, "temperature", 1, -58.55166666666667, false},  // wrapped
        {{0xFE, 0x00, 0x05}, 254, 0, "load", 5, 7.62939453125e-05, false},
        {{0xFD, 0x00, 0x05}, 254, 255, "unknown", 5, 5, false},
        {{0x2C, 0x01, 0x00}, 44, 0, "load", 256, 0.00390625, false},
    };
    for (const auto &c : cases) {
        decoded_record r = decode_record(c.bytes, c.base);
        SCOPED_TRACE(testing::Message() << int(c.bytes[0]) << " base " << int(c.base));
        EXPECT_EQ(r.channel, c.channel);
        EXPECT_STREQ(r.name, c.name);
        EXPECT_EQ(r.raw, c.raw);
        EXPECT_DOUBLE_EQ(r.value, c.value);
        EXPECT_EQ(r.saturated, c.saturated);
        EXPECT_EQ(r.unit == nullptr, c.channel > 4);
    }
}

TEST(FormatRecord, ExactLinesOfEachFormat)
{
    setenv("TZ", "UTC", 1);
    tzset();
    struct timespec at = {1796774400 + 3723, 45678901};  // 2026-12-09 01:02:03.045 UTC
    // one row a case, as the table reads
    // clang-format off
    const struct {
        uint8_t bytes[3];
        decode_format format;
        const char *line;
        bool time_stamps = true;
        bool utf8 = true;
    } cases[] = {
        {{0, 0x61, 0xA0}, FORMAT_TEXT, "2026-12-09 01:02:03.045    0 load        24992  0.38\n"},
        {{0, 0xFF, 0xFF}, FORMAT_TEXT, "2026-12-09 01:02:03.045    0 load        65535  1.00 or more\n"},
        {{1, 0x00, 0x74}, FORMAT_TEXT, "2026-12-09 01:02:03.045    1 processes     116  116 processes\n"},
        {{2, 0x80, 0x00}, FORMAT_TEXT, "2026-12-09 01:02:03.045    2 memory      32768  50.0 %\n"},
        {{3, 0xFF, 0xFF}, FORMAT_TEXT, "2026-12-09 01:02:03.045    3 fan         65535  -1 rpm\n"},
        {{4, 0x02, 0xD7}, FORMAT_TEXT, "2026-12-09 01:02:03.045    4 temperature   727  45.5 °C\n"},
        {{4, 0x02, 0xD7}, FORMAT_TEXT, "  4 temperature   727  45.5 C\n", false, false},
        {{4, 0x02, 0xD7}, FORMAT_CSV, "4,temperature,727,45.5,C\n", false},
        {{3, 0x11, 0x94}, FORMAT_JSONL,
         "{\"channel\":3,\"name\":\"fan\",\"raw\":4500,\"value\":4500,\"unit\":\"rpm\"}\n", false},
        {{9, 0x12, 0x34}, FORMAT_TEXT, "2026-12-09 01:02:03.045    9 unknown      4660  -\n"},
        {{0, 0x61, 0xA0}, FORMAT_CSV, "2026-12-09T01:02:03.045Z,0,load,24992,0.38,load\n"},
        {{4, 0x00, 0x00}, FORMAT_CSV, "2026-12-09T01:02:03.045Z,4,temperature,0,-58.8,C\n"},
        {{9, 0x12, 0x34}, FORMAT_CSV, "2026-12-09T01:02:03.045Z,9,unknown,4660,4660,\n"},
        {{0, 0xFF, 0xFF}, FORMAT_JSONL,
         "{\"time\":\"2026-12-09T01:02:03.045Z\",\"channel\":0,\"name\":\"load\",\"raw\":65535,"
         "\"value\":1.00,\"unit\":\"load\",\"saturated\":true}\n"},
        {{0, 0x40, 0x00}, FORMAT_JSONL,
         "{\"time\":\"2026-12-09T01:02:03.045Z\",\"channel\":0,\"name\":\"load\",\"raw\":16384,"
         "\"value\":0.25,\"unit\":\"load\",\"saturated\":false}\n"},
        {{2, 0xFF, 0xFF}, FORMAT_JSONL,
         "{\"time\":\"2026-12-09T01:02:03.045Z\",\"channel\":2,\"name\":\"memory\",\"raw\":65535,"
         "\"value\":100.0,\"unit\":\"%\"}\n"},
        {{9, 0x00, 0x07}, FORMAT_JSONL,
         "{\"time\":\"2026-12-09T01:02:03.045Z\",\"channel\":9,\"name\":\"unknown\",\"raw\":7,"
         "\"value\":7,\"unit\":null}\n"},
    };
    // clang-format on
    for (const auto &c : cases) {
        char line[256];
        int n = format_record(line, sizeof line, {c.format, c.time_stamps, c.utf8}, decode_record(c.bytes, 0),
                              at);
        EXPECT_STREQ(line, c.line);
        EXPECT_EQ(n, static_cast<int>(strlen(c.line)));
    }
    char tiny[20];
    EXPECT_EQ(
        format_record(tiny, sizeof tiny, {FORMAT_CSV, true, true}, decode_record(cases[0].bytes, 0), at), -1);
}
