// SPDX-License-Identifier: MIT
// statpipe-hwmon serving a fake hwmon tree, bound over /sys/class, to the
// real daemon, through a real FUSE mount in its private namespace. The real
// driver, and a chip that goes and comes back, are tests/vm_test.sh's.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include "harness.h"

#ifndef HOSTILE_SERVER
#define HOSTILE_SERVER ""  // no statpipe-hwmon in this build: its tests skip
#endif

static const std::string FAN = "/proc/sys/dev/sensors/as99127f-i2c-1-2d/fan2";

// Processes whose command line holds text, other than this one.
static int processes_mentioning(const std::string &text)
{
    int count = 0;
    DIR *proc = opendir("/proc");
    const struct dirent *entry;
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
        hwmon = dir + "/class/hwmon/hwmon0";
        for (const std::string &d : {dir + "/class", dir + "/class/hwmon", hwmon})
            ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        for (auto file :
             {std::make_pair("name", "as99127f\n"), std::make_pair("fan2_input", "4500\n"),
              std::make_pair("fan2_min", "3000\n"), std::make_pair("temp2_input", "45500\n"),
              std::make_pair("temp2_max", "60000\n"), std::make_pair("temp2_max_hyst", "55000\n")})
            set(file.first, file.second);
        options.program = HWMON_BINARY;
        options.sysfs_class = dir + "/class";
#endif
    }
    void TearDown() override
    {
        daemon_fixture::TearDown();
        // statpipe ends by the signal its parent's death sends it, a moment later.
        if (!fifo.empty()) {
            EXPECT_TRUE(wait_until([&] { return processes_mentioning(fifo) == 0; }, 10))
                << "a process stayed behind";
        }
        EXPECT_EQ(read_file("/proc/self/mountinfo").find("statpipe-hwmon"), std::string::npos);
    }
    // In place, as sysfs changes: the companion holds the files open.
    // One write of the same length, so that no read sees it half done.
    void set(const std::string &name, const std::string &text)
    {
        int fd = open((hwmon + "/" + name).c_str(), O_WRONLY | O_CREAT, 0644);
        ssize_t written = pwrite(fd, text.data(), text.size(), 0);
        close(fd);
        ASSERT_EQ(written, static_cast<ssize_t>(text.size())) << name;
    }
    std::vector<std::string> through_hwmon(const std::vector<std::string> &command)
    {
        std::vector<std::string> args = {"--fan", "as99127f-virtual-0:fan2", "--temperature=as99127f-*:temp2",
                                         "--"};
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

// The line that says that command runs as root, as it does when root
// starts statpipe-hwmon without --user.
static std::string as_root(const std::string &command)
{
    return "statpipe-hwmon: " + command + " runs as root, with no capability (--user USER runs it as USER)\n";
}

static std::vector<pid_t> children_of(pid_t pid)
{
    std::vector<pid_t> children;
    std::string listed =
        read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (const char *at = listed.c_str(); *at != '\0';) {
        char *end;
        long child = strtol(at, &end, 10);
        if (end == at)
            break;
        children.push_back(static_cast<pid_t>(child));
        at = end;
    }
    return children;
}

// The fields of /proc/PID/status that say what a process may do.
static std::string privileges_of(pid_t pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    std::string kept;
    for (const char *field : {"Uid:", "CapPrm:", "CapEff:", "CapBnd:", "NoNewPrivs:"}) {
        size_t at = status.find(std::string("\n") + field);
        kept += at == std::string::npos ? "" : status.substr(at + 1, status.find('\n', at + 1) - at);
    }
    return kept;
}

TEST_F(Hwmon, ServesLiveReadingsToTheDaemonWithNoPrivilegeLeft)
{
    // The daemon from the scratch directory, which nobody can reach
    // wherever the build tree is.
    std::string daemon_copy = dir + "/statpipe";
    ASSERT_EQ(system(("cp '" + daemon_binary() + "' '" + daemon_copy + "'").c_str()), 0);
    chmod(fifo.c_str(), 0666);
    std::vector<std::string> command = emulator();
    command.insert(command.end(), {daemon_copy, fifo});
    std::vector<std::string> args = {"--user", "nobody"};
    std::vector<std::string> rest = through_hwmon(command);
    args.insert(args.end(), rest.begin(), rest.end());
    // The mount namespace that the companion starts in, kept by the shell
    // that becomes it, and a descriptor that it hands on, as a service
    // manager may.
    const std::string started_in = dir + "/started-in";
    options.prefix = {"/bin/sh", "-c",
                      "readlink /proc/$$/ns/mnt >" + started_in + " && exec 9</dev/null \"$@\"", "sh"};
    start(args);
    reader = open_reader(fifo);
    auto records = read_records(reader, 5, real_seconds(30));
    ASSERT_EQ(channels_of(records), (std::vector<unsigned>{0, 1, 2, 3, 4})) << daemon_stderr(daemon);
    const unsigned char fan[3] = {0x03, 0x11, 0x94};
    const unsigned char temp[3] = {0x04, 0x02, 0xD7};
    EXPECT_EQ(memcmp(records[3].bytes, fan, 3), 0);
    EXPECT_EQ(memcmp(records[4].bytes, temp, 3), 0);
    // The companion stays in the namespace it started in; its command
    // runs in one made for the files, and the keeper of that one holds
    // only what mounting and starting the command as nobody take.
    auto namespace_of = [](pid_t pid) {
        char target[64] = {};
        ssize_t length =
            readlink(("/proc/" + std::to_string(pid) + "/ns/mnt").c_str(), target, sizeof target - 1);
        return std::string(target, length > 0 ? static_cast<size_t>(length) : 0);
    };
    EXPECT_EQ(read_file(started_in), namespace_of(daemon.pid) + "\n");
    EXPECT_EQ(read_file("/proc/" + std::to_string(daemon.pid) + "/mountinfo").find("statpipe-hwmon"),
              std::string::npos)
        << "the companion's mounts stay in their namespace";
    pid_t keeper = -1;
    pid_t statpipe = -1;
    for (pid_t child : children_of(daemon.pid))
        (read_file("/proc/" + std::to_string(child) + "/cmdline").rfind(command[0], 0) == 0 ? statpipe
                                                                                            : keeper) = child;
    ASSERT_NE(keeper, -1);
    ASSERT_NE(statpipe, -1);
    EXPECT_NE(namespace_of(statpipe), namespace_of(daemon.pid));
    EXPECT_EQ(namespace_of(keeper), namespace_of(daemon.pid));
    const std::string none =
        "CapPrm:\t0000000000000000\nCapEff:\t0000000000000000\nCapBnd:\t0000000000000000\n"
        "NoNewPrivs:\t1\n";
    EXPECT_EQ(privileges_of(daemon.pid), "Uid:\t65534\t65534\t65534\t65534\n" + none) << "the server";
    EXPECT_EQ(privileges_of(statpipe), "Uid:\t65534\t65534\t65534\t65534\n" + none) << "statpipe";
    // CAP_SETGID, CAP_SETUID, CAP_SETPCAP, CAP_SYS_CHROOT, CAP_SYS_ADMIN
    EXPECT_EQ(privileges_of(keeper),
              "Uid:\t0\t0\t0\t0\nCapPrm:\t00000000002401c0\nCapEff:\t00000000002401c0\n"
              "CapBnd:\t00000000002401c0\nNoNewPrivs:\t1\n")
        << "the keeper";
    // Of what the companion was handed, statpipe holds 0 to 2 alone.
    char handed[64] = {};
    if (readlink(("/proc/" + std::to_string(statpipe) + "/fd/9").c_str(), handed, sizeof handed - 1) < 0)
        handed[0] = '\0';
    EXPECT_STRNE(handed, "/dev/null") << "statpipe holds the companion's descriptor 9";

    set("fan2_input", "5000\n");
    set("temp2_input", "-5500\n");
    EXPECT_EQ(sensor_values(5), std::make_pair(5000u, 371u)) << "the next rotation reads the new values";
    EXPECT_EQ(daemon_stderr(daemon), "");
}

// The FUSE connection of pid's sensor files: the minor number of their
// mount; "" if it has none.
static std::string fuse_connection_of(pid_t pid)
{
    std::string info = read_file("/proc/" + std::to_string(pid) + "/mountinfo");
    size_t at = info.find(" /proc/sys/dev/sensors ");
    if (at == std::string::npos)
        return "";
    size_t line = info.rfind('\n', at);
    // ID PARENT MAJOR:MINOR ...: the line's first colon.
    size_t colon = info.find(':', line == std::string::npos ? 0 : line + 1);
    if (colon == std::string::npos || colon > at)
        return "";
    return std::to_string(strtoul(info.c_str() + colon + 1, nullptr, 10));
}

// Whether pid holds path open. By the file, not by the link's text: seen
// from a chroot, a process in a mount namespace of its own shows its
// files by their path outside it.
static bool holds_open(pid_t pid, const std::string &path)
{
    struct stat want;
    if (stat(path.c_str(), &want) != 0)
        return false;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *listed = opendir(fds.c_str());
    bool held = false;
    const struct dirent *entry;
    // cppcheck-suppress readdirCalled ; one thread, and readdir_r is deprecated
    while (listed != nullptr && !held && (entry = readdir(listed)) != nullptr) {
        struct stat open_file;
        held = stat((fds + "/" + entry->d_name).c_str(), &open_file) == 0 &&
               open_file.st_dev == want.st_dev && open_file.st_ino == want.st_ino;
    }
    if (listed != nullptr)
        closedir(listed);
    return held;
}

static long status_field(pid_t pid, const std::string &field)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\n" + field + ":");
    return at == std::string::npos ? -1 : strtol(status.c_str() + at + field.size() + 2, nullptr, 10);
}

static size_t entries_in(const std::string &path)
{
    size_t count = 0;
    DIR *directory = opendir(path.c_str());
    // cppcheck-suppress readdirCalled ; one thread
    while (directory != nullptr && readdir(directory) != nullptr)
        count++;
    if (directory != nullptr)
        closedir(directory);
    return count;
}

// The namespaces of a kind (user, mnt) that the processes of process
// group pgid are in: the companion's, whatever else runs beside the test.
static size_t namespaces_of_group(pid_t pgid, const std::string &kind)
{
    std::set<std::string> seen;
    DIR *proc = opendir("/proc");
    const struct dirent *entry;
    // cppcheck-suppress readdirCalled ; one thread
    while (proc != nullptr && (entry = readdir(proc)) != nullptr) {
        const std::string pid = "/proc/" + std::string(entry->d_name);
        // pid (comm) state ppid pgrp
        std::string stat = read_file(pid + "/stat");
        size_t fields = stat.rfind(')');
        if (fields == std::string::npos || fields + 4 >= stat.size())
            continue;
        char *after_ppid;
        (void)strtol(stat.c_str() + fields + 4, &after_ppid, 10);
        long group = strtol(after_ppid, nullptr, 10);
        char target[64];
        const std::string link = pid + "/ns/";
        ssize_t length = readlink((link + kind).c_str(), target, sizeof target);
        if (group == pgid && length > 0)
            seen.insert(std::string(target, static_cast<size_t>(length)));
    }
    if (proc != nullptr)
        closedir(proc);
    return seen.size();
}

// Whether a user namespace can be made here: not in a chroot, where the
// kernel refuses one to a process whose root is not its mount namespace's.
static bool user_namespaces_possible()
{
    pid_t child = fork();
    if (child == 0)
        _exit(unshare(CLONE_NEWUSER) == 0 || errno != EPERM ? 0 : 1);
    int status = 0;
    return child != -1 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

#ifdef STATPIPE_SANITIZED
static const bool SANITIZED = true;
#else
static const bool SANITIZED = false;
#endif

// Every form that statpipe-hwmon runs in, its FUSE connection aborted 40
// times in a row, more than user namespaces may nest: a new statpipe
// served each time, and the companion holding no more than before.
TEST_F(Hwmon, ServedAgainAfterEveryAbortHoldingNoMore)
{
    // Nobody may reach the build tree in a private checkout.
    const std::string hwmon_copy = dir + "/statpipe-hwmon";
    const std::string daemon_copy = dir + "/statpipe";
    ASSERT_EQ(system(("cp '" + options.program + "' '" + hwmon_copy + "' && cp '" + daemon_binary() + "' '" +
                      daemon_copy + "'")
                         .c_str()),
              0);
    options.program = hwmon_copy;
    chmod(fifo.c_str(), 0666);
    // /dev/fuse as udev makes it, for an ordinary user.
    const std::string fuse_node = dir + "/fuse";
    ASSERT_EQ(mknod(fuse_node.c_str(), S_IFCHR | 0666, makedev(10, 229)), 0);
    std::vector<std::string> command = emulator();
    command.insert(command.end(), {daemon_copy, fifo});
    const struct {
        const char *name;
        std::vector<std::string> options;
        bool unprivileged;
        int stop;  // then sent to the companion: SIGKILL, as the OOM killer does, takes statpipe along
    } forms[] = {
        // As root, without --user: libfaketime's shared clock, made by a
        // root process, is not nobody's to open.
        {"root, through a mount namespace alone", {}, false, SIGKILL},
        {"nobody, through a user namespace, as the drop-in starts it", {}, true, SIGTERM},
    };
    const std::string ended =
        "statpipe-hwmon: the sensor files' FUSE session ended (its connection aborted, or the "
        "mount gone); restarting " +
        command[0] + "\n";
    for (const auto &form : forms) {
        SCOPED_TRACE(form.name);
        if (form.unprivileged && !user_namespaces_possible())
            GTEST_SKIP()
                << "a chroot: no user namespace can be made in one, so nobody's form cannot be served";
        options.unprivileged = form.unprivileged;
        options.fuse_node = form.unprivileged ? fuse_node : "";
        std::vector<std::string> args = form.options;
        std::vector<std::string> rest = through_hwmon(command);
        args.insert(args.end(), rest.begin(), rest.end());
        // Closed to nobody at start, opened a little later, as a late
        // device rule would: served within the minute, by the same
        // companion.
        // Not where a sanitizer's runtime keeps libfaketime from speeding
        // up the minute.
        bool late_fuse = form.unprivileged && !SANITIZED;
        ASSERT_EQ(chmod(fuse_node.c_str(), late_fuse ? 0600 : 0666), 0);
        start(args);
        if (late_fuse) {
            const std::string served_now =
                "statpipe-hwmon: the sensor files can be served now; restarting " + command[0];
            EXPECT_TRUE(wait_until(
                [&] {
                    return daemon_stderr(daemon).find("/dev/fuse: Permission denied") != std::string::npos;
                },
                10));
            ASSERT_EQ(chmod(fuse_node.c_str(), 0666), 0);
            EXPECT_TRUE(
                wait_until([&] { return daemon_stderr(daemon).find(served_now) != std::string::npos; },
                           real_seconds(70)))
                << daemon_stderr(daemon);
        }
        // The statpipe that the restart ends may take the reader first.
        reader = open_reader(fifo);
        ASSERT_EQ(read_records_across_restarts(reader, fifo, 1, real_seconds(60)).size(), 1u)
            << daemon_stderr(daemon);
        auto children = [&](bool want_statpipe) {
            for (pid_t child : children_of(daemon.pid)) {
                std::string argv = read_file("/proc/" + std::to_string(child) + "/cmdline");
                bool is_statpipe = argv.substr(0, argv.find('\0')) == command[0];
                if (is_statpipe == want_statpipe)
                    return child;
            }
            return static_cast<pid_t>(-1);
        };
        pid_t keeper = children(false);
        const size_t descriptors = entries_in("/proc/" + std::to_string(daemon.pid) + "/fd");
        const size_t keepers = entries_in("/proc/" + std::to_string(keeper) + "/fd");
        const size_t user_namespaces = namespaces_of_group(daemon.pid, "user");
        const size_t mount_namespaces = namespaces_of_group(daemon.pid, "mnt");
        const long rss = status_field(daemon.pid, "VmRSS");
        const long keeper_rss = status_field(keeper, "VmRSS");
        int served = 0;
        for (; served < 40; served++) {
            pid_t statpipe = children(true);
            std::string connection = fuse_connection_of(statpipe);
            ASSERT_NE(connection, "") << "not served after " << served << " aborts";
            ASSERT_EQ(system(("unshare -m sh -c 'mount -t fusectl none /sys/fs/fuse/connections && echo 1 "
                              ">/sys/fs/fuse/connections/" +
                              connection + "/abort'")
                                 .c_str()),
                      0);
            if (!wait_until(
                    [&] {
                        pid_t now = children(true);
                        // Its number may be the last one's again. Aborted
                        // once it has the FIFO, past its start: each
                        // process takes libfaketime's lock, shared by the
                        // tree, as it starts, and a statpipe that the
                        // restart killed in it hung every one after it (1
                        // in 60 runs under load).
                        return now != -1 && now != statpipe && !fuse_connection_of(now).empty() &&
                               holds_open(now, fifo);
                    },
                    10))
                break;
        }
        EXPECT_EQ(served, 40);
        close(reader);
        reader = open_reader(fifo);
        // The last statpipe writes again once its retry after the old
        // reader's end has come.
        std::pair<unsigned, unsigned> values;
        wait_until([&] { return (values = sensor_values(6)).first != ~0u; }, real_seconds(30));
        EXPECT_EQ(values, std::make_pair(4500u, 727u)) << "the last statpipe reads its sensors\n"
                                                       << daemon_stderr(daemon);
        EXPECT_EQ(entries_in("/proc/" + std::to_string(daemon.pid) + "/fd"), descriptors);
        EXPECT_EQ(entries_in("/proc/" + std::to_string(keeper) + "/fd"), keepers);
        EXPECT_LE(namespaces_of_group(daemon.pid, "user"), user_namespaces);
        EXPECT_LE(namespaces_of_group(daemon.pid, "mnt"), mount_namespaces);
        // A sanitizer's allocator keeps what is freed for a while.
        if (!SANITIZED) {
            EXPECT_LE(status_field(daemon.pid, "VmRSS") - rss, 256) << "the server";
            EXPECT_LE(status_field(keeper, "VmRSS") - keeper_rss, 256) << "the keeper";
        }
        kill(daemon.pid, form.stop);
        int status = wait_daemon(daemon, 30);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == form.stop) << status;
        EXPECT_TRUE(wait_until([&] { return processes_mentioning(fifo) == 0; }, 10))
            << "a process stayed behind";
        EXPECT_EQ(count_lines(daemon.stderr_text, ended), 40) << daemon.stderr_text;
        close(reader);
        reader = -1;
    }
}

// Sends what the kernel sends when an hwmon device comes or goes; only
// root may speak on that channel.
// A uevent as the kernel sends it when a chip comes or goes, into the
// network namespace of the companion whose pid is given.
static bool announce_hwmon_device(pid_t companion, const char *action)
{
    std::string event = std::string(action) + "@/devices/virtual/hwmon/hwmon0";
    event += '\0';
    event += std::string("ACTION=") + action + '\0' + "SUBSYSTEM=hwmon" + '\0';
    int own = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int theirs = open(("/proc/" + std::to_string(companion) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    bool entered = own != -1 && theirs != -1 && setns(theirs, CLONE_NEWNET) == 0;
    int fd = entered ? socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT) : -1;
    bool back = !entered || setns(own, CLONE_NEWNET) == 0;
    close(own);
    close(theirs);
    if (fd == -1)
        return false;
    struct sockaddr_nl to = {};
    to.nl_family = AF_NETLINK;
    to.nl_groups = 1;
    // The kernel may refuse the copy addressed to itself; the listeners
    // have theirs by then.
    (void)sendto(fd, event.data(), event.size(), 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to);
    close(fd);
    return back;
}

// A chip that comes and goes: the command started again each time, with
// one line why, and nothing said between. Its name holds a '-', which
// libsensors cannot parse back.
TEST_F(Hwmon, StartsTheCommandAgainWhenTheChipComesOrGoes)
{
    std::string chip = hwmon;
    hwmon = dir + "/away";  // out of sight of libsensors
    ASSERT_EQ(rename(chip.c_str(), hwmon.c_str()), 0);
    set("name", "as99127f-x\n");
    std::vector<std::string> args = {"--fan", "*-*:fan2", "--temperature", "*-*:temp2", "--"};
    std::vector<std::string> command = the_daemon();
    args.insert(args.end(), command.begin(), command.end());
    // An administrator's configuration, which a look reads.
    const std::string configuration = dir + "/sensors.d";
    ASSERT_EQ(mkdir(configuration.c_str(), 0755), 0);
    write_file(configuration + "/board.conf", "# the board's own\n");
    options.prefix = {"/bin/sh", "-c", "mount --bind \"$0\" /etc/sensors.d && exec \"$@\"", configuration};
    start(args);
    reader = open_reader(fifo);
    const std::string opened = "Warning: unable to open i2c device `/proc/sys/dev/sensors/as99127f-i2c-1-2d/";
    const std::string restarting = "; restarting " + command[0] + "\n";
    const std::string found = "as99127f-x-virtual-0:";
    const struct {
        const char *name;
        std::string action;  // "": none; "add" and "remove" move the chip in or out
        std::set<unsigned> channels;
        std::string said;
        bool unreadable = false;  // the configuration, during the step
    } steps[] = {
        {"no chip at start",
         "",
         {0, 1, 2},
         as_root(command[0]) +
             "statpipe-hwmon: no chip *-*; fan2 is served once it appears\n"
             "statpipe-hwmon: no chip *-*; temp2 is served once it appears\n" +
             opened + "fan2'\n" + opened + "temp2'\n"},
        {"the chip appears",
         "add",
         {0, 1, 2, 3, 4},
         "statpipe-hwmon: " + found + "fan2 appeared (from /sys/class/hwmon/hwmon0), " + found +
             "temp2 appeared (from /sys/class/hwmon/hwmon0)" + restarting},
        // A look would fail, and say so.
        {"a change event costs no look", "change", {0, 1, 2, 3, 4}, "", true},
        {"the chip goes",
         "remove",
         {0, 1, 2},
         "statpipe-hwmon: " + found + "fan2 is gone, " + found + "temp2 is gone" + restarting + opened +
             "fan2'\n" + opened + "temp2'\n"},
    };
    const std::string there = dir + "/class/hwmon/hwmon0";
    size_t heard = 0;
    for (const auto &step : steps) {
        SCOPED_TRACE(step.name);
        if (step.action == "add" || step.action == "remove") {
            ASSERT_EQ(rename(step.action == "add" ? hwmon.c_str() : there.c_str(),
                             step.action == "add" ? there.c_str() : hwmon.c_str()),
                      0);
        }
        chmod((configuration + "/board.conf").c_str(), step.unreadable ? 0 : 0644);
        if (!step.action.empty()) {
            ASSERT_TRUE(announce_hwmon_device(daemon.pid, step.action.c_str()));
        }
        if (step.action == "add" || step.action == "remove") {
            // The old daemon's stream ends; the new one's reader opens the
            // FIFO again, as after any restart of statpipe.
            ASSERT_LT(read_records(reader, 1000, real_seconds(30)).size(), 1000u);
            close(reader);
            reader = open_reader(fifo);
        }
        std::set<unsigned> channels;
        for (unsigned channel : channels_of(read_records(reader, 6, real_seconds(30))))
            channels.insert(channel);
        EXPECT_EQ(channels, step.channels);
        std::string said = daemon_stderr(daemon).substr(heard);
        heard += said.size();
        EXPECT_EQ(said, step.said);
    }
}

// The restarts' pace, on the daemon's clock: a chip that changes now and
// then is followed at once, one that keeps changing is paced. Each case
// moves the chip out of sight and back, with a reader throughout.
TEST_F(Hwmon, FollowsAChipAtOnceAndPacesOneThatKeepsChanging)
{
    // The pace is the companion's, which is this build's wherever the
    // daemon comes from; in real time its cases take four minutes.
    if (!fast_time())
        GTEST_SKIP() << "the companion's pace, four minutes in real time: the suite with libfaketime runs it";
    std::string chip = hwmon;
    hwmon = dir + "/away";
    ASSERT_EQ(rename(chip.c_str(), hwmon.c_str()), 0);
    std::vector<std::string> command = the_daemon();
    start(through_hwmon(command));
    reader = open_reader(fifo);
    // The records in the next daemon seconds, across restarts.
    auto collect = [&](double seconds) {
        return read_records_across_restarts(reader, fifo, 1000000, real_seconds(seconds));
    };
    // Seconds from the first record of channel 3 after moment, or -1.
    auto served_after = [&](const std::vector<record> &records, double moment) {
        auto fan = std::find_if(records.begin(), records.end(),
                                [&](const record &r) { return r.bytes[0] == 3 && r.at >= moment; });
        return fan == records.end() ? -1.0 : (fan->at - moment) / real_seconds(1);
    };
    auto move = [&](bool in) {
        ASSERT_EQ(rename(in ? hwmon.c_str() : chip.c_str(), in ? chip.c_str() : hwmon.c_str()), 0);
        ASSERT_TRUE(announce_hwmon_device(daemon.pid, in ? "add" : "remove"));
    };
    const std::string restarting = "; restarting " + command[0] + "\n";
    // Each spell: the chip away, then bound; away again after the last.
    const struct {
        const char *name;
        std::vector<double> away, bound;
        double served_within;  // of each bind of a spell at least that long
        int restarts;          // at most, for the case
    } cases[] = {
        {"bound 3 s after the companion starts", {3}, {12}, 10, 1},
        {"away 2 to 8 s, then bound 10 s, ten times",
         {2, 5, 8, 3, 6, 2, 7, 4, 8, 2},
         {10, 10, 10, 10, 10, 10, 10, 10, 10, 10},
         10,
         19},
        {"flapping 10 times in 20 s", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1, 1, 1, 1, 26}, 25, 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        size_t heard = daemon_stderr(daemon).size();
        for (size_t spell = 0; spell < c.bound.size(); spell++) {
            if (spell > 0)
                move(false);
            (void)collect(c.away[spell]);
            double bound = now();
            move(true);
            std::vector<record> got = collect(c.bound[spell]);
            if (c.bound[spell] >= c.served_within) {
                double served = served_after(got, bound);
                EXPECT_GE(served, 0) << "spell " << spell << " not served";
                EXPECT_LE(served, c.served_within) << "spell " << spell;
            }
        }
        std::string said = daemon_stderr(daemon).substr(heard);
        EXPECT_LE(count_lines(said, restarting), c.restarts) << said;
        // Away and quiet again, as the next case begins.
        move(false);
        (void)collect(10);
    }
}

TEST_F(Hwmon, EndsWithTheCommandAndPassesSignalsOn)
{
    // A second chip, with a fan alone.
    const std::string second = dir + "/class/hwmon/hwmon1";
    ASSERT_EQ(mkdir(second.c_str(), 0755), 0);
    write_file(second + "/name", "nct6775\n");
    write_file(second + "/fan2_input", "3000\n");
    const std::string usage =
        "Usage: statpipe-hwmon [--fan CHIP:FEATURE] [--temperature CHIP:FEATURE] [--user USER] "
        "-- COMMAND [ARG...]\n";
    const std::string daemon_name = the_daemon()[0];
    // The second chip's fan2 is "0 3000", ours "3000 4500": the command
    // says which it was served.
    const std::string fan_served = "read min speed <" + FAN + " && echo $speed >&2";
    const struct {
        const char *name;
        std::vector<std::string> args;
        int signal_number;  // sent to statpipe-hwmon once records flow; 0: none
        int status;         // its exit status; negative: -N, ended by signal N
        std::string message;
        bool empty_dev = false;    // as on a kernel without FUSE
        std::string or_message{};  // also right, where the kernel's order decides
        std::string hostile{};     // how its server misbehaves toward the keeper; "": not
        bool kill_keeper = false;  // killed once the command has said "up"
    } cases[] = {
        {"exit status", through_hwmon({"sh", "-c", "exit 3"}), 0, 3, as_root("sh")},
        {"killed command", through_hwmon({"sh", "-c", "kill -KILL $$"}), 0, 128 + SIGKILL, as_root("sh")},
        {"no such command", through_hwmon({dir + "/none"}), 0, 127,
         as_root(dir + "/none") + "statpipe-hwmon: cannot run " + dir + "/none: No such file or directory\n"},
        // Ended by the signal passed on: a stop asked for counts as clean.
        {"SIGTERM", through_hwmon(the_daemon()), SIGTERM, -SIGTERM, as_root(daemon_name)},
        {"SIGINT", through_hwmon(the_daemon()), SIGINT, -SIGINT, as_root(daemon_name)},
        {"SIGHUP", through_hwmon(the_daemon()), SIGHUP, -SIGHUP, as_root(daemon_name)},
        // Said, and the command runs all the same, without that file.
        {"no such chip, no such feature",
         {"--fan", "w83627hf-*:fan1", "--temperature", "as99127f-*:temp9", "--", "sh", "-c",
          "test ! -e " + FAN + " && test -d " + FAN.substr(0, FAN.rfind('/'))},
         0,
         0,
         as_root("sh") + "statpipe-hwmon: no chip w83627hf-*; fan1 is served as fan2 once it appears\n"
                         "statpipe-hwmon: chip as99127f-* has no temp9; it is served once it appears\n"},
        {"a path, as before",
         {"--fan", hwmon + "/fan2", "--", "true"},
         0,
         2,
         "statpipe-hwmon: '" + hwmon +
             "/fan2' is not CHIP:FEATURE, as sensors(1) names them (for example as99127f-*:fan2)\n" + usage},
        {"no --",
         {"--fan", "as99127f-*:fan2", "true"},
         0,
         2,
         "statpipe-hwmon: COMMAND must follow --, before 'true'\n" + usage},
        // Said once, at the first find, so that the pattern can be narrowed;
        // which chip comes first is the kernel's readdir order.
        {"two chips match, the default matches none",
         {"--fan", "*-*:fan2", "--", "sh", "-c", fan_served},
         0,
         0,
         as_root("sh") +
             "statpipe-hwmon: 2 chips match *-*:fan2; serving as99127f-virtual-0:fan2 (narrow the pattern to "
             "serve another)\n"
             "statpipe-hwmon: no chip as99127f-i2c-*-2d; temp2 is served once it appears\n4500\n",
         false,
         as_root("sh") +
             "statpipe-hwmon: 2 chips match *-*:fan2; serving nct6775-virtual-0:fan2 (narrow the pattern to "
             "serve another)\n"
             "statpipe-hwmon: no chip as99127f-i2c-*-2d; temp2 is served once it appears\n3000\n"},
        // The command runs all the same, without the files.
        {"no FUSE", through_hwmon({"sh", "-c", "test ! -e " + FAN}), 0, 0,
         as_root("sh") +
             "statpipe-hwmon: cannot serve the sensor files: /dev/fuse: No such file or directory (a kernel "
             "without FUSE?); sh runs without them, and they are tried again each minute\n",
         true},
        // The keeper takes nothing from a request but its kind, and ends at
        // one it does not know: no path it names is made.
        {"a mount request that names a path",
         through_hwmon({"true"}),
         0,
         1,
         as_root("true") + "statpipe-hwmon: the keeper ends: the server sent a request it does not know "
                           "(more than a byte)\n"
                           "statpipe-hwmon: cannot serve the sensor files: statpipe-hwmon's keeper has "
                           "ended; true runs without "
                           "them, and they are tried again each minute\n"
                           "statpipe-hwmon: statpipe-hwmon's keeper has ended\n",
         false,
         {},
         "path"},
        {"a request of an unknown kind",
         through_hwmon({"true"}),
         0,
         1,
         as_root("true") +
             "statpipe-hwmon: the keeper ends: the server sent a request it does not know (kind 120)\n"
             "statpipe-hwmon: statpipe-hwmon's keeper has ended\n",
         false,
         {},
         "kind"},
        {"a second start while the command runs",
         through_hwmon({"sh", "-c", "echo started >&2; sleep 5"}),
         0,
         0,
         as_root("sh") + "started\n",
         false,
         {},
         "twice"},
        // The command runs on to its end; nothing starts it again. It says
        // "up" once a file was read, which the server answers only once it
        // has the keeper's reply to its start: killed before, the keeper
        // takes that start with it.
        {"the keeper killed",
         through_hwmon({"sh", "-c", "read speed <" + FAN + "; echo up >&2; sleep 20; exit 4"}),
         0,
         4,
         as_root("sh") + "up\nstatpipe-hwmon: statpipe-hwmon's keeper has ended; sh is not started again\n",
         false,
         {},
         {},
         true},
    };
    const std::string hostile_path = dir + "/made-by-the-keeper";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        options.empty_dev = c.empty_dev;
        options.preload = c.hostile.empty() ? "" : HOSTILE_SERVER;
        options.environment = {"STATPIPE_HOSTILE=" + c.hostile, "STATPIPE_HOSTILE_PATH=" + hostile_path};
        start(c.args);
        // What the companion starts is in its process group, whatever it
        // names.
        const pid_t group = daemon.pid;
        if (c.signal_number != 0) {
            reader = open_reader(fifo);
            ASSERT_EQ(read_records(reader, 1, real_seconds(30)).size(), 1u);
            kill(daemon.pid, c.signal_number);
        }
        if (c.kill_keeper) {
            ASSERT_TRUE(
                wait_until([&] { return daemon_stderr(daemon).find("up\n") != std::string::npos; }, 10));
            for (pid_t child : children_of(daemon.pid)) {
                if (read_file("/proc/" + std::to_string(child) + "/cmdline").rfind(options.program, 0) == 0)
                    kill(child, SIGKILL);
            }
        }
        int status = wait_daemon(daemon, 30);
        ASSERT_NE(status, -1);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), c.status);
        if (c.or_message.empty() || daemon.stderr_text != c.or_message) {
            EXPECT_EQ(daemon.stderr_text, c.message);
        }
        if (reader != -1)
            close(reader);
        reader = -1;
        EXPECT_TRUE(wait_until([&] { return kill(-group, 0) == -1 && errno == ESRCH; }, 10))
            << "a process stayed behind";
        EXPECT_NE(access(hostile_path.c_str(), F_OK), 0) << "the keeper made what the server named";
    }
}
