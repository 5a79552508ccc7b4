// SPDX-License-Identifier: MIT
// The two sensor parsers, and read_i2c_device on real files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "statpipe.h"

struct parse_case {
    const char *text;
    bool ok;  // false: garbage
    int32_t value;
};

template <size_t N>
static void check_parser(bool (*parse)(const char *, int32_t *), const parse_case (&cases)[N])
{
    for (const auto &c : cases) {
        int32_t value = 12345;
        EXPECT_EQ(parse(c.text, &value), c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(value, c.value) << '"' << c.text << '"';
        }
    }
}

TEST(ParseFanText, SecondIntegerAsRead)
{
    const parse_case cases[] = {
        {"3000 4500\n", true, 4500},
        {"0 0\n", true, 0},
        {"3000 -1\n", true, -1},
        {"  +3000\t\n  -4500 trailing", true, -4500},
        {"3000   4500 9999", true, 4500},
        {"3000 2147483647", true, INT32_MAX},
        {"3000 -2147483648", true, INT32_MIN},
        {"99999999999999999999999 70000", true, 70000},  // the skipped limit may be anything
        {"3000 2147483648", false, 0},
        {"3000 -2147483649", false, 0},
        {"3000 99999999999999999999999", false, 0},
        {"3000\n", false, 0},
        {"", false, 0},
        {"fan", false, 0},
        {"3000 rpm", false, 0},
        {"3000 - 5", false, 0},
        {"3000 0x10", true, 0},  // decimal only, as %d reads it
    };
    check_parser(parse_fan_text, cases);
}

TEST(ParseTemperatureText, ThirdNumberScaledAndTruncated)
{
    const parse_case cases[] = {
        {"60.0 55.0 45.5\n", true, 727},
        {"60.0 55.0 45.9\n", true, 730},
        {"60.0 55.0 0.0\n", true, 410},
        {"60.0 55.0 43\n", true, 710},
        {"60.0 55.0 60.0\n", true, 828},
        {"60.0 55.0 47.3\n", true, 739},  // read in double: 740
        {"60.0 55.0 -4.3\n", true, 379},  // read in double: 380
        {"60.0 55.0 -55.0\n", true, 26},
        {"60.0 55.0 125.0\n", true, 1282},
        {"60.0 55.0 -100\n", true, -287},  // below zero: two's complement
        {" +1e1\t-2.5e0\n\n 45.5 and more", true, 727},
        {"nan inf 45.5", true, 727},  // only the taken number must be finite
        {"60.0 55.0 1e7\n", true, 69767851},
        {"60.0 55.0 6e8\n", true, static_cast<int32_t>(4186046921u)},  // above 2^31: as unsigned
        {"60.0 55.0 7e8\n", false, 0},                                 // does not fit 32 bits
        {"60.0 55.0 -5e8\n", false, 0},
        {"60.0 55.0 nan\n", false, 0},
        {"60.0 55.0 inf\n", false, 0},
        {"60.0 55.0 -infinity\n", false, 0},
        {"60.0 55.0 1e39\n", false, 0},  // overflows single precision
        {"60.0 55.0\n", false, 0},
        {"", false, 0},
        {"temp 1 2 3", false, 0},
    };
    check_parser(parse_temperature_text, cases);
}

class ReadI2cDevice : public ::testing::Test {
protected:
    void SetUp() override { dir = make_scratch_dir(); }
    void TearDown() override
    {
        if (device.fd != -1)
            close(device.fd);
        remove_tree(dir);
    }
    void open_device(const std::string &name, int flags = O_RDONLY)
    {
        path = dir + "/" + name;
        device.fd = open(path.c_str(), flags);
        device.path = path.c_str();
        ASSERT_NE(device.fd, -1);
    }
    std::string dir, path;
    sensor_device device = {-1, ""};
};

TEST_F(ReadI2cDevice, RereadsCurrentTextWithNothingLeftBehind)
{
    write_file(dir + "/fan2", "3000 4500\n");
    open_device("fan2");
    const parse_case steps[] = {
        {"3000 4500\n", true, 4500},
        {"3000\n", false, 0},  // shrank: no "500" behind it
        {"", false, 0},        // empty: no replay of the last reading
        {"2900 4600\n", true, 4600},
    };
    for (const auto &s : steps) {
        int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_EQ(write(fd, s.text, strlen(s.text)), static_cast<ssize_t>(strlen(s.text)));
        close(fd);
        int32_t value = 0;
        std::string err = capture_stderr(
            [&] { EXPECT_EQ(sample_sensor_channel(CHANNEL_FAN, &device, &value), s.ok ? 0 : -1) << s.text; });
        EXPECT_STREQ(read_i2c_device(&device), s.text);
        if (s.ok) {
            EXPECT_EQ(value, s.value);
            EXPECT_EQ(err, "");
        } else {
            EXPECT_EQ(err, "Warning: garbage from i2c device `" + path + "'\n");
        }
    }
}

TEST_F(ReadI2cDevice, SeesOnlyTheFirst127Bytes)
{
    std::string text = std::string(125, ' ') + "1 2 3\n";  // the "3" is byte 129
    write_file(dir + "/temp2", text);
    open_device("temp2");
    const char *got = read_i2c_device(&device);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got), text.substr(0, 127));
    int32_t value;
    std::string err =
        capture_stderr([&] { EXPECT_EQ(sample_sensor_channel(CHANNEL_TEMPERATURE, &device, &value), -1); });
    EXPECT_EQ(err, "Warning: garbage from i2c device `" + path + "'\n");
}

TEST_F(ReadI2cDevice, FailuresWarnNamingTheDevice)
{
    const struct {
        const char *what;
        const char *warning;
    } cases[] = {
        {"fifo", "Warning: unable to lseek i2c device `"},
        {"directory", "Warning: unable to read from i2c device `"},
    };
    for (const auto &c : cases) {
        std::string name = c.what;
        std::string p = dir + "/" + name;
        if (name == "fifo") {
            ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
            open_device(name, O_RDONLY | O_NONBLOCK);
        } else {
            ASSERT_EQ(mkdir(p.c_str(), 0700), 0);
            open_device(name, O_RDONLY | O_DIRECTORY);
        }
        for (channel which : {CHANNEL_FAN, CHANNEL_TEMPERATURE}) {
            int32_t value = 0;
            std::string err = capture_stderr([&] {
                EXPECT_EQ(read_i2c_device(&device), nullptr);
                EXPECT_EQ(sample_sensor_channel(which, &device, &value), -1);
            });
            std::string line = c.warning + p + "'\n";
            EXPECT_EQ(err, line + line) << name;  // every time, not once
        }
        close(device.fd);
        device.fd = -1;
    }
}

TEST(SampleSensorChannel, ASystemChannelIsAFaultInTheCaller)
{
    sensor_device device = {-1, "/nonexistent"};
    int32_t value = 0;
    for (channel which : {CHANNEL_LOAD, CHANNEL_PROCESSES, CHANNEL_MEMORY})
        EXPECT_DEATH(sample_sensor_channel(which, &device, &value), "") << which;
}
