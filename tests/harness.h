// SPDX-License-Identifier: MIT
// Test support: a scratch directory, the real daemon in a child process,
// a reader on a real FIFO, and standard error captured.
#ifndef STATPIPE_TESTS_HARNESS_H
#define STATPIPE_TESTS_HARNESS_H

#include <sys/types.h>

#include <string>
#include <vector>

std::string make_scratch_dir();
void remove_tree(const std::string &path);
void write_file(const std::string &path, const std::string &text);
std::string read_file(const std::string &path);

// Runs fn with file descriptor 2 redirected; gives what was written there.
template <typename Fn>
std::string capture_stderr(Fn fn);
int begin_stderr_capture(const std::string &path);
std::string end_stderr_capture(int saved, const std::string &path);
template <typename Fn>
std::string capture_stderr(Fn fn)
{
    std::string path = make_scratch_dir() + "/stderr";
    int saved = begin_stderr_capture(path);
    fn();
    return end_stderr_capture(saved, path);
}

bool is_root();

// The daemon under test: this build's, or another one named by
// STATPIPE_TEST_BINARY (a static or cross-built daemon), run through
// STATPIPE_TEST_EMULATOR (words separated by spaces) if that is set.
const std::string &daemon_binary();
const std::vector<std::string> &emulator();
// Without an emulator and a static binary, libfaketime makes the daemon's
// time run ten times faster; otherwise (or with STATPIPE_TEST_REAL_TIME
// set) it runs in real time.
bool fast_time();
// Whether the daemon sees this machine's memory as it is: qemu-user hands
// a 32-bit program sysinfo's byte counts modulo 2^32 on a host of 4 GiB or
// more, where the kernel would scale them by mem_unit, so that the memory
// in use it sees may be anything, 0 included.
bool memory_seen_as_it_is();
// How long the daemon takes for this many of its own seconds.
double real_seconds(double daemon_seconds);
void pause_seconds(double seconds);
void sleep_daemon_seconds(double daemon_seconds);

struct daemon_options {
    std::vector<std::string> prefix;  // e.g. strace and its options
    bool fast = fast_time();          // time runs ten times faster (libfaketime)
    std::vector<int> closed_fds;      // of 0, 1 and 2: those the daemon starts without
    // Bound over /proc/sys/dev in a private mount namespace; empty: none.
    std::string sensor_root;
    std::string sysfs_class;  // bound over /sys/class there: a fake hwmon tree, with a network namespace
    bool empty_dev = false;   // an empty tmpfs over /dev there: no /dev/null
    std::string fuse_node;    // bound over /dev/fuse there: one that anyone may open
    bool unprivileged = false;
    std::string program = daemon_binary();
    std::string stdin_path;                // empty: inherited
    std::string stdout_path;               // empty: inherited
    std::string locale = "C";              // LC_ALL
    std::string preload;                   // preloaded too, after libfaketime
    std::vector<std::string> environment;  // more of it, NAME=VALUE
};

struct daemon_process {
    pid_t pid = -1;
    int err = -1;  // read end of the daemon's standard error
    std::string stderr_text;
};

daemon_process start_daemon(const std::vector<std::string> &args, const daemon_options &options = {});
// Waits at most timeout seconds; gives the wait status, or -1 on time-out
// (the daemon is then killed). Collects the rest of standard error.
int wait_daemon(daemon_process &daemon, double timeout);
void stop_daemon(daemon_process &daemon);
// Gathers whatever standard error holds now, without blocking.
std::string &daemon_stderr(daemon_process &daemon);

struct record {
    unsigned char bytes[3];
    double at;  // seconds, monotonic clock
};
double now();
// Opens the FIFO for reading without waiting for a writer.
int open_reader(const std::string &fifo);
// Reads up to count records, waiting at most timeout seconds in all.
std::vector<record> read_records(int fd, size_t count, double timeout);
// The same, opening the FIFO again whenever every writer has gone, as its
// reader does across restarts of statpipe.
std::vector<record> read_records_across_restarts(int &fd, const std::string &fifo, size_t count,
                                                 double timeout);
std::vector<unsigned> channels_of(const std::vector<record> &records);
unsigned value_of(const record &r);
int count_lines(const std::string &text, const std::string &line);
// Polls until done() holds or timeout seconds have passed; gives done().
template <typename Fn>
bool wait_until(Fn done, double timeout)
{
    for (double end = now() + timeout; !done() && now() < end;)
        pause_seconds(0.01);
    return done();
}
// The daemon's two messages about its reader.
inline const std::string DISCONNECTED =
    "Reading end apparently disconnected. Will keep retrying every 10 seconds...\n";
inline const std::string RECONNECTED = "Reading end reconnected.\n";

// A scratch directory with a FIFO in it, and the daemon and reader on it,
// all cleaned up after each test.
#include <gtest/gtest.h>
class daemon_fixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void start(const std::vector<std::string> &args) { daemon = start_daemon(args, options); }
    std::string dir, fifo;
    daemon_options options;
    daemon_process daemon;
    int reader = -1;
};

#endif
