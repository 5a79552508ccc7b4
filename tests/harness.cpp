// SPDX-License-Identifier: MIT
#include "harness.h"

#include <algorithm>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

static const char FAKETIME_LIB[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

std::string make_scratch_dir()
{
    char pattern[] = "/tmp/statpipe-test.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        abort();
    return pattern;
}

void remove_tree(const std::string &path)
{
    std::string command = "rm -rf '" + path + "'";
    if (system(command.c_str()) != 0)
        ADD_FAILURE() << "cannot remove " << path;
}

void write_file(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ssize_t written = fd == -1 ? -1 : write(fd, text.data(), text.size());
    if (fd != -1)
        close(fd);
    ASSERT_EQ(written, static_cast<ssize_t>(text.size())) << path;
}

std::string read_file(const std::string &path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd == -1)
        return text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return text;
}

int begin_stderr_capture(const std::string &path)
{
    int saved = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd == -1 || dup2(fd, 2) == -1)
        abort();
    close(fd);
    return saved;
}

std::string end_stderr_capture(int saved, const std::string &path)
{
    dup2(saved, 2);
    close(saved);
    std::string text = read_file(path);
    remove_tree(path.substr(0, path.rfind('/')));
    return text;
}

const std::string &daemon_binary()
{
    static const char *const chosen = getenv("STATPIPE_TEST_BINARY");
    static const std::string binary = chosen ? chosen : STATPIPE_BINARY;
    return binary;
}

const std::vector<std::string> &emulator()
{
    static const std::vector<std::string> words = [] {
        std::vector<std::string> w;
        const char *text = getenv("STATPIPE_TEST_EMULATOR");
        std::string word;
        for (const char *p = text ? text : "";; p++) {
            if (*p == ' ' || *p == '\0') {
                if (!word.empty())
                    w.push_back(word);
                word.clear();
                if (*p == '\0')
                    break;
            } else {
                word += *p;
            }
        }
        return w;
    }();
    return words;
}

bool fast_time()
{
    return access(FAKETIME_LIB, R_OK) == 0 && emulator().empty() &&
           getenv("STATPIPE_TEST_REAL_TIME") == nullptr;
}

bool memory_seen_as_it_is()
{
    if (emulator().empty())
        return true;
    char ident[5] = {};
    int fd = open(daemon_binary().c_str(), O_RDONLY | O_CLOEXEC);
    bool elf32 = fd != -1 && read(fd, ident, sizeof ident) == sizeof ident && ident[4] == 1;  // ELFCLASS32
    if (fd != -1)
        close(fd);
    struct sysinfo here;
    return !elf32 ||
           (sysinfo(&here) == 0 && static_cast<double>(here.totalram) * here.mem_unit < 4294967296.0);
}

double real_seconds(double daemon_seconds)
{
    return daemon_seconds * (fast_time() ? 0.1 : 1.0);
}

void pause_seconds(double seconds)
{
    struct timespec left = {
        static_cast<time_t>(seconds),
        static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

void sleep_daemon_seconds(double daemon_seconds)
{
    pause_seconds(real_seconds(daemon_seconds));
}

bool is_root()
{
    return geteuid() == 0;
}

double now()
{
    struct timespec ts;
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Runs in the child between fork and exec: only async-signal-safe calls.
[[noreturn]] static void exec_daemon(char **argv, char **envp, const daemon_options &options, int err)
{
    setpgid(0, 0);  // so that stop_daemon reaches a tracer's child too
    bool namespaced = !options.sensor_root.empty() || !options.sysfs_class.empty() || options.empty_dev ||
                      !options.fuse_node.empty();
    if (namespaced) {
        if (unshare(CLONE_NEWNS) == -1 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1)
            _exit(125);
    }
    // A fake hwmon tree's device events are its test's alone: another
    // test's, beside it, go to a network namespace of their own.
    if (!options.sysfs_class.empty() && unshare(CLONE_NEWNET) == -1)
        _exit(125);
    if (!options.sensor_root.empty() &&
        mount(options.sensor_root.c_str(), "/proc/sys/dev", nullptr, MS_BIND, nullptr) == -1)
        _exit(125);
    if (!options.sysfs_class.empty() &&
        mount(options.sysfs_class.c_str(), "/sys/class", nullptr, MS_BIND, nullptr) == -1)
        _exit(125);
    if (options.empty_dev && mount("none", "/dev", "tmpfs", 0, nullptr) == -1)
        _exit(125);
    if (!options.fuse_node.empty() &&
        mount(options.fuse_node.c_str(), "/dev/fuse", nullptr, MS_BIND, nullptr) == -1)
        _exit(125);
    // Shared again, as systemd leaves a host's: what the daemon mounts in a
    // namespace of its own shows here unless it made its copy private.
    if (namespaced && mount(nullptr, "/", nullptr, MS_REC | MS_SHARED, nullptr) == -1)
        _exit(125);
    if (options.unprivileged && (setgid(65534) == -1 || setuid(65534) == -1))
        _exit(125);
    if (!options.stdin_path.empty()) {
        int in = open(options.stdin_path.c_str(), O_RDONLY);
        if (in == -1 || dup2(in, 0) == -1)
            _exit(125);
        close(in);
    }
    if (!options.stdout_path.empty()) {
        int out = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out == -1 || dup2(out, 1) == -1)
            _exit(125);
        close(out);
    }
    dup2(err, 2);
    close(err);
    for (int fd : options.closed_fds)
        close(fd);
    execve(argv[0], argv, envp);
    _exit(127);
}

daemon_process start_daemon(const std::vector<std::string> &args, const daemon_options &options)
{
    std::vector<std::string> words = options.prefix;
    if (options.program == daemon_binary())
        words.insert(words.end(), emulator().begin(), emulator().end());
    words.push_back(options.program);
    words.insert(words.end(), args.begin(), args.end());
    if (words[0][0] != '/')  // strace, valgrind, qemu-*
        words[0] = "/usr/bin/" + words[0];

    std::vector<std::string> environment = {"PATH=/usr/bin:/bin", "LC_ALL=" + options.locale};
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    std::string preload = options.fast ? FAKETIME_LIB : "";
    if (!options.preload.empty())
        preload += (preload.empty() ? "" : ":") + options.preload;
    if (!preload.empty())
        environment.push_back("LD_PRELOAD=" + preload);
    if (options.fast) {
        environment.push_back("FAKETIME=+0 x10");
        environment.push_back("FAKETIME_DONT_RESET=1");
        // Its stat() takes a lock shared by the whole tree: a statpipe
        // that a restart kills in the middle of one would hang the rest.
        environment.push_back("NO_FAKE_STAT=1");
    }
    // A sanitized build reads its options from here. LeakSanitizer cannot
    // work under strace or valgrind, and would turn the exit status into
    // its own.
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        const char *value = getenv(name);
        if (value == nullptr)
            continue;
        std::string setting = std::string(name) + "=" + value;
        if (!options.prefix.empty() && strcmp(name, "ASAN_OPTIONS") == 0)
            setting += ":detect_leaks=0";
        environment.push_back(setting);
    }
    auto c_strings = [](const std::vector<std::string> &strings) {
        std::vector<char *> pointers(strings.size() + 1, nullptr);
        std::transform(strings.begin(), strings.end(), pointers.begin(),
                       [](const std::string &s) { return const_cast<char *>(s.c_str()); });
        return pointers;
    };
    std::vector<char *> argv = c_strings(words);
    std::vector<char *> envp = c_strings(environment);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == -1)
        abort();
    daemon_process daemon;
    daemon.pid = fork();
    if (daemon.pid == 0)
        exec_daemon(argv.data(), envp.data(), options, fds[1]);
    close(fds[1]);
    daemon.err = fds[0];
    fcntl(daemon.err, F_SETFL, O_NONBLOCK);
    return daemon;
}

std::string &daemon_stderr(daemon_process &daemon)
{
    char buffer[4096];
    ssize_t n;
    while (daemon.err != -1 && (n = read(daemon.err, buffer, sizeof buffer)) > 0)
        daemon.stderr_text.append(buffer, static_cast<size_t>(n));
    return daemon.stderr_text;
}

// libfaketime's clock, shared by the daemon's tree, is left behind by a
// daemon that did not end by exit.
static void forget_shared_clock(pid_t pid)
{
    for (const char *name : {"/dev/shm/faketime_shm_", "/dev/shm/sem.faketime_sem_"})
        unlink((name + std::to_string(pid)).c_str());
}

int wait_daemon(daemon_process &daemon, double timeout)
{
    int status = -1;
    for (double end = now() + timeout; now() < end;) {
        if (waitpid(daemon.pid, &status, WNOHANG) == daemon.pid) {
            forget_shared_clock(daemon.pid);
            daemon.pid = -1;
            daemon_stderr(daemon);
            close(daemon.err);
            daemon.err = -1;
            return status;
        }
        daemon_stderr(daemon);
        pause_seconds(0.01);
    }
    stop_daemon(daemon);
    return -1;
}

void stop_daemon(daemon_process &daemon)
{
    if (daemon.pid > 0) {
        kill(-daemon.pid, SIGKILL);
        waitpid(daemon.pid, nullptr, 0);
        forget_shared_clock(daemon.pid);
        daemon.pid = -1;
    }
    if (daemon.err != -1) {
        daemon_stderr(daemon);
        close(daemon.err);
        daemon.err = -1;
    }
}

int open_reader(const std::string &fifo)
{
    return open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

std::vector<record> read_records(int fd, size_t count, double timeout)
{
    std::vector<record> records;
    unsigned char partial[3];
    size_t have = 0;
    double end = now() + timeout;
    while (records.size() < count) {
        double left = end - now();
        if (left <= 0)
            break;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0)
            break;
        ssize_t n = read(fd, partial + have, 3 - have);
        if (n == 0) {  // every writer has gone
            if (!(p.revents & POLLIN))
                break;
            pause_seconds(0.001);
            continue;
        }
        if (n < 0)
            continue;
        have += static_cast<size_t>(n);
        if (have == 3) {
            record r = {{partial[0], partial[1], partial[2]}, now()};
            records.push_back(r);
            have = 0;
        }
    }
    return records;
}

std::vector<record> read_records_across_restarts(int &fd, const std::string &fifo, size_t count,
                                                 double timeout)
{
    std::vector<record> records;
    for (double end = now() + timeout; records.size() < count && now() < end;) {
        std::vector<record> more = read_records(fd, count - records.size(), end - now());
        records.insert(records.end(), more.begin(), more.end());
        if (records.size() < count && now() < end) {
            close(fd);
            fd = open_reader(fifo);
        }
    }
    return records;
}

std::vector<unsigned> channels_of(const std::vector<record> &records)
{
    std::vector<unsigned> channels(records.size());
    std::transform(records.begin(), records.end(), channels.begin(),
                   [](const record &r) { return r.bytes[0]; });
    return channels;
}

unsigned value_of(const record &r)
{
    return static_cast<unsigned>(r.bytes[1]) << 8 | r.bytes[2];
}

int count_lines(const std::string &text, const std::string &line)
{
    int count = 0;
    for (size_t at = 0; (at = text.find(line, at)) != std::string::npos; at += line.size())
        count += at == 0 || text[at - 1] == '\n';
    return count;
}

void daemon_fixture::SetUp()
{
    dir = make_scratch_dir();
    chmod(dir.c_str(), 0755);
    fifo = dir + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
}

void daemon_fixture::TearDown()
{
    stop_daemon(daemon);
    if (reader != -1)
        close(reader);
    if (!dir.empty())
        remove_tree(dir);
}
