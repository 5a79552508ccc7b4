// SPDX-License-Identifier: MIT
// The old sensor texts made from hwmon attribute files in a scratch tree.
#include <limits.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "hwmon_text.h"

TEST(FormatMillidegrees, ExactDegrees)
{
    const struct {
        long long millidegrees;
        const char *text;
    } cases[] = {
        {45500, "45.5"},
        {-5500, "-5.5"},
        {0, "0.0"},
        {45000, "45.0"},
        {45250, "45.25"},
        {-5, "-0.005"},
        {-999, "-0.999"},
        {150000000, "150000.0"},
        {LLONG_MAX, "9223372036854775.807"},
        {LLONG_MIN, "-9223372036854775.808"},
    };
    for (const auto &c : cases) {
        char text[32];
        EXPECT_EQ(format_millidegrees(c.millidegrees, text, sizeof text), static_cast<int>(strlen(c.text)));
        EXPECT_STREQ(text, c.text) << c.millidegrees;
    }
}

TEST(HwmonText, LimitsOptionalInputRequired)
{
    // one row a case, as the table reads; nullptr: no such file
    // clang-format off
    const struct {
        hwmon_kind kind;
        const char *input, *first_limit, *second_limit;
        const char *text;  // nullptr: the read fails
    } cases[] = {
        {HWMON_FAN, "4500\n", "3000\n", nullptr, "3000 4500\n"},
        {HWMON_FAN, "4500\n", nullptr, nullptr, "0 4500\n"},
        {HWMON_FAN, "0\n", "0\n", nullptr, "0 0\n"},
        {HWMON_FAN, nullptr, "3000\n", nullptr, nullptr},
        {HWMON_FAN, "", "3000\n", nullptr, nullptr},
        {HWMON_FAN, "fast\n", "3000\n", nullptr, nullptr},
        {HWMON_FAN, "4500 rpm\n", "3000\n", nullptr, nullptr},
        {HWMON_FAN, "99999999999999999999\n", nullptr, nullptr, nullptr},
        {HWMON_FAN, "4500\n", "garbage\n", nullptr, "0 4500\n"},
        {HWMON_TEMPERATURE, "45500\n", "60000\n", "55000\n", "60.0 55.0 45.5\n"},
        {HWMON_TEMPERATURE, "-5500\n", nullptr, nullptr, "0.0 0.0 -5.5\n"},
        {HWMON_TEMPERATURE, "45500\n", "60000\n", nullptr, "60.0 0.0 45.5\n"},
        {HWMON_TEMPERATURE, "127000\n", "-128000\n", "1\n", "-128.0 0.001 127.0\n"},
        {HWMON_TEMPERATURE, nullptr, "60000\n", "55000\n", nullptr},
    };
    // clang-format on
    std::string dir = make_scratch_dir();
    for (const auto &c : cases) {
        std::string names[3];
        const char *suffixes[] = {"_input", c.kind == HWMON_FAN ? "_min" : "_max", "_max_hyst"};
        const char *contents[] = {c.input, c.first_limit, c.second_limit};
        for (size_t i = 0; i < 3; i++) {
            names[i] = dir + (c.kind == HWMON_FAN ? "/fan2" : "/temp2") + suffixes[i];
            unlink(names[i].c_str());
            if (contents[i] != nullptr)
                write_file(names[i], contents[i]);
        }
        const char *limits[2] = {names[1].c_str(), names[2].c_str()};
        hwmon_sensor sensor;
        ASSERT_EQ(hwmon_sensor_open(&sensor, c.kind, names[0].c_str(), limits), c.input != nullptr);
        char text[128];
        int length = hwmon_text(&sensor, text, sizeof text);
        SCOPED_TRACE(std::string(c.input ? c.input : "(no input)"));
        if (c.text == nullptr) {
            EXPECT_EQ(length, -1);
        } else {
            ASSERT_EQ(length, static_cast<int>(strlen(c.text)));
            EXPECT_STREQ(text, c.text);
        }
        hwmon_sensor_close(&sensor);
    }
    remove_tree(dir);
}
