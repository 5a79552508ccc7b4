// statpipe-hwmon serving a fake hwmon tree to the real daemon, through a
// real FUSE mount in its private namespace.
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

static const std::string FAN = "/proc/sys/dev/sensors/as99127f-i2c-1-2d/fan2";

// Processes whose command line holds text, other than this one.
static int processes_mentioning(const std::string &text)
{
    int count = 0;
    DIR *proc = opendir("/proc");
    struct dirent *entry;
    // cppcheck-suppress readdirCalled ; one thread, and readdir_r is deprecated
    while (proc != nullptr && (entry = readdir(proc)) != nullptr) {
        std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == std::to_string(getpid()))
            continue;
        std::string command_line = read_file("/proc/" + pid + "/cmdline");
        count += command_line.find(text) != std::string::npos;
    }
    if (proc != nullptr)
        closedir(proc);
    return count;
}

class Hwmon : public daemon_fixture {
protected:
    void SetUp() override
    {
#ifndef HWMON_BINARY
        GTEST_SKIP() << "statpipe-hwmon is not built here (no libfuse3)";
#else
        if (!is_root())
            GTEST_SKIP() << "needs root for the mount namespace";
        if (access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "no usable /dev/fuse";
        daemon_fixture::SetUp();
        if (HasFatalFailure())
            return;
        hwmon = dir + "/hwmon";
        ASSERT_EQ(mkdir(hwmon.c_str(), 0755), 0);
        for (auto file : {std::make_pair("fan2_input", "4500\n"), std::make_pair("fan2_min", "3000\n"),
                          std::make_pair("temp2_input", "45500\n"), std::make_pair("temp2_max", "60000\n"),
                          std::make_pair("temp2_max_hyst", "55000\n")})
            set(file.first, file.second);
        options.program = HWMON_BINARY;
#endif
    }
    void TearDown() override
    {
        daemon_fixture::TearDown();
        if (!fifo.empty()) {
            EXPECT_EQ(processes_mentioning(fifo), 0) << "a process stayed behind";
        }
        EXPECT_EQ(read_file("/proc/self/mountinfo").find("statpipe-hwmon"), std::string::npos);
    }
    // Replaced whole, as sysfs would answer: never seen half written.
    void set(const std::string &name, const std::string &text)
    {
        write_file(hwmon + "/new", text);
        ASSERT_EQ(rename((hwmon + "/new").c_str(), (hwmon + "/" + name).c_str()), 0);
    }
    std::vector<std::string> through_hwmon(const std::vector<std::string> &command)
    {
        std::vector<std::string> args = {"--fan", hwmon + "/fan2", "--temperature=" + hwmon + "/temp2", "--"};
        args.insert(args.end(), command.begin(), command.end());
        return args;
    }
    std::vector<std::string> the_daemon()
    {
        std::vector<std::string> command = emulator();
        command.insert(command.end(), {daemon_binary(), fifo});
        return command;
    }
    // The values of the first records of channels 3 and 4 among count.
    std::pair<unsigned, unsigned> sensor_values(size_t count)
    {
        std::pair<unsigned, unsigned> values = {~0u, ~0u};
        for (const record &r : read_records(reader, count, real_seconds(10.0 * static_cast<double>(count)))) {
            if (r.bytes[0] == 3 && values.first == ~0u)
                values.first = value_of(r);
            if (r.bytes[0] == 4 && values.second == ~0u)
                values.second = value_of(r);
        }
        return values;
    }
    std::string hwmon;
};

TEST_F(Hwmon, ServesLiveReadingsToTheDaemon)
{
    start(through_hwmon(the_daemon()));
    reader = open_reader(fifo);
    auto records = read_records(reader, 5, real_seconds(30));
    ASSERT_EQ(channels_of(records), (std::vector<unsigned>{0, 1, 2, 3, 4}));
    const unsigned char fan[3] = {0x03, 0x11, 0x94};
    const unsigned char temp[3] = {0x04, 0x02, 0xD7};
    EXPECT_EQ(memcmp(records[3].bytes, fan, 3), 0);
    EXPECT_EQ(memcmp(records[4].bytes, temp, 3), 0);
    // Only the command's namespace sees the files.
    EXPECT_NE(access(FAN.c_str(), F_OK), 0);

    set("fan2_input", "5000\n");
    set("temp2_input", "-5500\n");
    EXPECT_EQ(sensor_values(5), std::make_pair(5000u, 371u)) << "the next rotation reads the new values";

    // The input gone: the daemon's read warning and a skip, until it is back.
    unlink((hwmon + "/fan2_input").c_str());
    EXPECT_EQ(channels_of(read_records(reader, 5, real_seconds(30))), (std::vector<unsigned>{0, 1, 2, 4, 0}));
    EXPECT_EQ(count_lines(daemon_stderr(daemon), "Warning: unable to read from i2c device `" + FAN + "'\n"),
              1);
    set("fan2_input", "4500\n");
    EXPECT_EQ(sensor_values(5).first, 4500u);
}

TEST_F(Hwmon, EndsWithTheCommandAndPassesSignalsOn)
{
    std::string chips;
    for (int i = 0; i < 16; i++)
        chips += read_file("/sys/class/hwmon/hwmon" + std::to_string(i) + "/name");
    const struct {
        const char *name;
        std::vector<std::string> args;
        int signal_number;  // sent to statpipe-hwmon once records flow; 0: none
        int status;
        std::string message;
        bool empty_dev = false;  // as on a kernel without FUSE
    } cases[] = {
        {"exit status", through_hwmon({"sh", "-c", "exit 3"}), 0, 3, ""},
        {"killed command", through_hwmon({"sh", "-c", "kill -KILL $$"}), 0, 128 + SIGKILL, ""},
        {"no such command", through_hwmon({dir + "/none"}), 0, 127,
         "statpipe-hwmon: cannot run " + dir + "/none: No such file or directory\n"},
        {"SIGTERM", through_hwmon(the_daemon()), SIGTERM, 128 + SIGTERM, ""},
        {"SIGINT", through_hwmon(the_daemon()), SIGINT, 128 + SIGINT, ""},
        {"SIGHUP", through_hwmon(the_daemon()), SIGHUP, 128 + SIGHUP, ""},
        {"no chip, no option",
         {"--", "true"},
         0,
         2,
         "statpipe-hwmon: no hwmon device named as99127f under /sys/class/hwmon; name the sensors with "
         "--fan and --temperature\n"},
        {"no FUSE", through_hwmon({"true"}), 0, 1,
         "statpipe-hwmon: cannot serve the sensor files: /dev/fuse: No such file or directory (a kernel "
         "without FUSE?)\n",
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.status == 2 && chips.find("as99127f\n") != std::string::npos)
            continue;  // this host has the chip
        options.empty_dev = c.empty_dev;
        start(c.args);
        if (c.signal_number != 0) {
            reader = open_reader(fifo);
            ASSERT_EQ(read_records(reader, 1, real_seconds(30)).size(), 1u);
            kill(daemon.pid, c.signal_number);
        }
        int status = wait_daemon(daemon, 30);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        EXPECT_EQ(daemon.stderr_text, c.message);
        if (reader != -1)
            close(reader);
        reader = -1;
        EXPECT_EQ(processes_mentioning(fifo), 0) << "a process stayed behind";
    }
}
