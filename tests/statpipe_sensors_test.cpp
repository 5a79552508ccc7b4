// SPDX-License-Identifier: MIT
// The real daemon with test files at the real sensor paths, in a private
// mount namespace where a scratch directory stands over /proc/sys/dev.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

static const std::string FAN = "/proc/sys/dev/sensors/as99127f-i2c-1-2d/fan2";
static const std::string TEMP = "/proc/sys/dev/sensors/as99127f-i2c-1-2d/temp2";

static std::string warning(const std::string &what, const std::string &path)
{
    return "Warning: " + what + " i2c device `" + path + "'\n";
}

class SensorDaemon : public daemon_fixture {
protected:
    void SetUp() override
    {
        if (!is_root())
            GTEST_SKIP() << "needs root to mount over /proc/sys/dev in a private namespace";
        daemon_fixture::SetUp();
        if (HasFatalFailure())
            return;
        options.sensor_root = dir + "/dev";
        chip = options.sensor_root + "/sensors/as99127f-i2c-1-2d";
        ASSERT_EQ(system(("mkdir -p " + chip).c_str()), 0);
    }
    void run()
    {
        start({fifo});
        reader = open_reader(fifo);
    }
    void write_sensors(const char *fan, const char *temp)
    {
        write_file(chip + "/fan2", fan);
        write_file(chip + "/temp2", temp);
    }
    // Same length, written in place: the daemon's open file sees it whole.
    void overwrite(const std::string &name, const std::string &text)
    {
        int fd = open((chip + "/" + name).c_str(), O_WRONLY);
        ssize_t written = fd == -1 ? -1 : pwrite(fd, text.data(), text.size(), 0);
        if (fd != -1)
            close(fd);
        ASSERT_EQ(written, static_cast<ssize_t>(text.size()));
    }

    std::string chip;
};

TEST_F(SensorDaemon, FullRotationEveryTenSeconds)
{
    write_sensors("3000 4500\n", "60.0 55.0 45.5\n");
    run();
    auto records = read_records(reader, 6, real_seconds(40));
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(channels_of(records), (std::vector<unsigned>{0, 1, 2, 3, 4, 0}));
    const unsigned char fan[3] = {0x03, 0x11, 0x94};
    const unsigned char temp[3] = {0x04, 0x02, 0xD7};
    EXPECT_EQ(memcmp(records[3].bytes, fan, 3), 0);
    EXPECT_EQ(memcmp(records[4].bytes, temp, 3), 0);
    EXPECT_GT(records[5].at - records[0].at, real_seconds(10 - 0.5));
    EXPECT_LT(records[5].at - records[0].at, real_seconds(15));
    EXPECT_EQ(daemon_stderr(daemon), "");
}

TEST_F(SensorDaemon, FailingSensorsWarnAndSkipOnlyTheirChannel)
{
    // one row a case, as the table reads
    // clang-format off
    const struct {
        const char *name;
        const char *fan;  // nullptr: no file; "/": a directory
        const char *temp;
        std::vector<unsigned> channels;
        std::string once;       // warned at start-up only
        std::string each_time;  // warned at every rotation
    } cases[] = {
        {"fan missing", nullptr, "60.0 55.0 45.5\n", {0, 1, 2, 4, 0, 1, 2, 4, 0},
         warning("unable to open", FAN), ""},
        {"both missing", nullptr, nullptr, {0, 1, 2, 0, 1, 2, 0, 1, 2},
         warning("unable to open", FAN) + warning("unable to open", TEMP), ""},
        {"fan garbage", "3000\n", "60.0 55.0 45.5\n", {0, 1, 2, 4, 0, 1, 2, 4, 0},
         "", warning("garbage from", FAN)},
        {"temperature garbage", "3000 4500\n", "60.0 55.0 nan\n", {0, 1, 2, 3, 0, 1, 2, 3, 0},
         "", warning("garbage from", TEMP)},
        {"temperature unreadable", "3000 4500\n", "/", {0, 1, 2, 3, 0, 1, 2, 3, 0},
         "", warning("unable to read from", TEMP)},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(system(("rm -rf " + chip + "/*").c_str()), 0);
        for (auto file : {std::make_pair("/fan2", c.fan), std::make_pair("/temp2", c.temp)}) {
            if (file.second && std::string(file.second) == "/")
                mkdir((chip + file.first).c_str(), 0755);
            else if (file.second)
                write_file(chip + file.first, file.second);
        }
        run();
        auto records = read_records(reader, c.channels.size(), real_seconds(50));
        EXPECT_EQ(channels_of(records), c.channels);
        // A skip costs no pause: eight pauses of 2 s, and not the 4 s or
        // more that pausing on the skips would add.
        ASSERT_EQ(records.size(), c.channels.size());
        double span = records.back().at - records[0].at;
        EXPECT_GT(span, real_seconds(16 - 0.5));
        EXPECT_LT(span, real_seconds(16 + 2));
        stop_daemon(daemon);
        std::string expected = c.once;
        for (int rotation = 0; rotation < 2; rotation++)
            expected += c.each_time;
        EXPECT_EQ(daemon.stderr_text, expected);
        close(reader);
        reader = -1;
    }
}

TEST_F(SensorDaemon, EachRotationSeesTheCurrentText)
{
    write_sensors("3000 4500\n", "60.0 55.0 45.5\n");
    run();
    auto first = read_records(reader, 5, real_seconds(30));
    ASSERT_EQ(first.size(), 5u);
    overwrite("fan2", "3000 -001\n");
    overwrite("temp2", "60.0 55.0 45.9\n");
    auto second = read_records(reader, 5, real_seconds(30));
    ASSERT_EQ(second.size(), 5u);
    EXPECT_EQ(value_of(first[3]), 4500u);
    EXPECT_EQ(value_of(first[4]), 727u);
    EXPECT_EQ(value_of(second[3]), 0xFFFFu);  // -1: a fan the chip cannot count
    EXPECT_EQ(value_of(second[4]), 730u);

    // The reader leaves just before the fan's turn; the fan changes while
    // it is away. What gets through on its return is read afresh.
    ASSERT_EQ(channels_of(read_records(reader, 3, real_seconds(30))), (std::vector<unsigned>{0, 1, 2}));
    close(reader);
    reader = -1;
    ASSERT_TRUE(
        wait_until([&] { return count_lines(daemon_stderr(daemon), DISCONNECTED) == 1; }, real_seconds(30)));
    overwrite("fan2", "3000 5000\n");
    reader = open_reader(fifo);
    auto back = read_records(reader, 1, real_seconds(30));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].bytes[0], 3u);
    EXPECT_EQ(value_of(back[0]), 5000u);
}

TEST_F(SensorDaemon, NoAllocationNoLeakAndNoMemoryErrors)
{
    if (access("/usr/bin/valgrind", X_OK) != 0)
        GTEST_SKIP() << "valgrind is not installed";
    if (daemon_binary() != STATPIPE_BINARY)
        GTEST_SKIP() << "valgrind sees allocations only in this build's dynamic daemon";
#ifdef STATPIPE_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a daemon built with AddressSanitizer; the plain build runs this";
#endif
    write_sensors("3000 4500\n", "60.0 55.0 45.5\n");
    options.fast = false;  // libfaketime allocates for itself
    options.prefix = {"valgrind",
                      "--error-exitcode=99",
                      "--leak-check=full",
                      "--show-leak-kinds=all",
                      "--errors-for-leak-kinds=all",
                      "--track-fds=no"};
    run();
    // Two rotations, then the reader leaves and comes back, then one more;
    // all in real time, about forty seconds.
    auto before = read_records(reader, 10, 40);
    EXPECT_EQ(channels_of(before), (std::vector<unsigned>{0, 1, 2, 3, 4, 0, 1, 2, 3, 4}));
    close(reader);
    pause_seconds(3);  // the next record finds no reader
    reader = open_reader(fifo);
    auto after = read_records(reader, 5, 20);
    EXPECT_EQ(channels_of(after), (std::vector<unsigned>{0, 1, 2, 3, 4}));
    kill(daemon.pid, SIGTERM);
    wait_daemon(daemon, 20);
    const std::string &err = daemon.stderr_text;
    EXPECT_EQ(count_lines(err, DISCONNECTED), 1) << err;
    EXPECT_EQ(count_lines(err, RECONNECTED), 1) << err;
    EXPECT_NE(err.find("total heap usage: 0 allocs"), std::string::npos) << err;
    EXPECT_NE(err.find("All heap blocks were freed -- no leaks are possible"), std::string::npos) << err;
    EXPECT_NE(err.find("ERROR SUMMARY: 0 errors"), std::string::npos) << err;
}
