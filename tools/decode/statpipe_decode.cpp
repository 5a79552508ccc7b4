// SPDX-License-Identifier: MIT
// statpipe-decode: prints the records of a statpipe stream as they arrive.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "base_address.h"
#include "command_line.h"
#include "decode.h"

static const char USAGE[] = "Usage: statpipe-decode [--base N] [--format text|csv|jsonl] [--count N] "
                            "[--no-time] [--create] [--] [PATH]\n";

// The FIFO that --create made, removed on every way out.
static const char *volatile created_fifo;

static void remove_created_fifo()
{
    if (created_fifo)
        unlink(created_fifo);
    created_fifo = nullptr;
}

// Dies of the same signal, so that the caller sees why; the shell's
// 128 + signal where that cannot be done.
static void on_signal(int signo)
{
    if (created_fifo)
        unlink(created_fifo);
    if (signal(signo, SIG_DFL) == SIG_ERR || raise(signo) != 0)
        _exit(128 + signo);
}

static const char *required_value(int argc, char **argv, int *i)
{
    const char *option = argv[*i];
    const char *value = option_value(argc, argv, i);
    if (value == nullptr)
        fail_usage("%s needs a value\n", option);
    return value;
}

static unsigned long parse_count(const char *text)
{
    char *end;
    errno = 0;
    unsigned long n = strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || n == 0)
        fail_usage("--count needs a positive whole number, not '%s'\n", text);
    return n;
}

// The daemon's base address, but only as a plain decimal number: a typing
// error must not quietly decode every channel wrong.
static uint8_t parse_base(const char *text)
{
    const char *digits = text + (*text == '-' || *text == '+');
    if (*digits == '\0' || strspn(digits, "0123456789") != strlen(digits))
        fail_usage("--base needs a decimal number, not '%s'\n", text);
    return parse_base_address(text);
}

static decode_format parse_format(const char *text)
{
    if (strcmp(text, "text") == 0)
        return FORMAT_TEXT;
    if (strcmp(text, "csv") == 0)
        return FORMAT_CSV;
    if (strcmp(text, "jsonl") == 0)
        return FORMAT_JSONL;
    fail_usage("unknown format '%s' (text, csv or jsonl)\n", text);
}

// Reads exactly three bytes unless the stream ends; gives how many it got.
static size_t read_record(int fd, uint8_t bytes[3])
{
    size_t have = 0;
    while (have < 3) {
        ssize_t n = read(fd, bytes + have, 3 - have);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(1, "cannot read the stream: %s\n", strerror(errno));
        }
        have += static_cast<size_t>(n);
    }
    return have;
}

struct settings {
    uint8_t base = 0;
    output_style style = {FORMAT_TEXT, true, false};
    unsigned long count = 0;  // 0: no limit
    bool create = false;
    const char *path = nullptr;  // nullptr: standard input
};

static settings parse_command_line(int argc, char **argv)
{
    settings s;
    bool options_end = false;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (options_end || arg[0] != '-' || arg[1] == '\0') {
            if (s.path)
                fail_usage("only one PATH may be given, not also '%s'\n", arg);
            s.path = arg;
        } else if (strcmp(arg, "--") == 0) {
            options_end = true;
        } else if (is_option(arg, "--base")) {
            s.base = parse_base(required_value(argc, argv, &i));
        } else if (is_option(arg, "--format")) {
            s.style.format = parse_format(required_value(argc, argv, &i));
        } else if (is_option(arg, "--count")) {
            s.count = parse_count(required_value(argc, argv, &i));
        } else if (strcmp(arg, "--create") == 0) {
            s.create = true;
        } else if (strcmp(arg, "--no-time") == 0) {
            s.style.time_stamps = false;
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            print_usage();
        } else if (strcmp(arg, "--version") == 0) {
            print_version();
        } else {
            fail_usage("unknown option '%s'\n", arg);
        }
    }
    if (s.path != nullptr && strcmp(s.path, "-") == 0)
        s.path = nullptr;
    if (s.create && s.path == nullptr)
        fail_usage("--create needs a PATH\n");
    return s;
}

// The FIFO that --create makes is removed on every way out: at exit, and
// by the handler of each signal that ends us.
static sigset_t catch_signals()
{
    static const int caught[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    sigset_t caught_set;
    sigemptyset(&caught_set);
    for (int signo : caught) {
        if (signal(signo, on_signal) == SIG_ERR || sigaddset(&caught_set, signo) == -1)
            fail(1, "cannot catch %s: %s\n", strsignal(signo), strerror(errno));
    }
    if (atexit(remove_created_fifo) != 0)
        fail(1, "cannot arrange to remove the FIFO at exit\n");
    return caught_set;
}

// The stream to read: standard input, or PATH, made first as a FIFO with
// --create; waits for a writer on a FIFO.
static int open_stream(const settings &s, const sigset_t &caught_set)
{
    if (s.path == nullptr)
        return 0;
    struct stat st;
    if (s.create && lstat(s.path, &st) == -1 && errno == ENOENT) {
        // A signal between making the FIFO and noting it would leave it
        // behind: it waits until the FIFO is ours to remove.
        sigset_t before;
        if (sigprocmask(SIG_BLOCK, &caught_set, &before) == -1)
            fail(1, "cannot block signals: %s\n", strerror(errno));
        if (mkfifo(s.path, 0600) == -1)
            fail(2, "cannot create FIFO %s: %s\n", s.path, strerror(errno));
        created_fifo = s.path;
        (void)sigprocmask(SIG_SETMASK, &before, nullptr);  // cannot fail: restores a mask we had
    }
    if (stat(s.path, &st) == -1)
        fail(2, "cannot find %s: %s\n", s.path, strerror(errno));
    // Whatever < would take, a device too; a directory reads nothing.
    if (S_ISDIR(st.st_mode))
        fail(2, "%s is a directory\n", s.path);
    int fd = open(s.path, O_RDONLY);
    if (fd == -1 && errno == EACCES && S_ISFIFO(st.st_mode)) {
        // Who may read it: the FIFO's group, to which the reader's user is added.
        const struct group *readers = getgrgid(st.st_gid);  // cppcheck-suppress getgrgidCalled ; one thread
        char why[160];
        (void)snprintf(why, sizeof why, "%s (its readers are group %s)", strerror(EACCES),
                       readers != nullptr ? readers->gr_name : "?");
        fail(2, "cannot open %s: %s\n", s.path, why);
    }
    if (fd == -1)
        fail(2, "cannot open %s: %s\n", s.path, strerror(errno));
    return fd;
}

// Prints each record as it arrives; gives the exit status.
static int decode_stream(int fd, const settings &s)
{
    if (s.style.format == FORMAT_CSV && fputs(csv_header(s.style), stdout) == EOF)
        fail(1, "cannot write the output: %s\n", strerror(errno));
    uint8_t bytes[3];
    size_t got = 0;
    for (unsigned long done = 0; s.count == 0 || done < s.count; done++) {
        got = read_record(fd, bytes);
        if (got < 3)
            break;
        struct timespec at;
        (void)clock_gettime(CLOCK_REALTIME, &at);
        char line[256];
        int length = format_record(line, sizeof line, s.style, decode_record(bytes, s.base), at);
        if (length < 0 ||
            fwrite(line, 1, static_cast<size_t>(length), stdout) != static_cast<size_t>(length) ||
            fflush(stdout) != 0)
            fail(1, "cannot write the output: %s\n", strerror(errno));
        got = 0;
    }
    if (got > 0) {
        const char have[2] = {static_cast<char>('0' + got), '\0'};  // 1 or 2
        say("the stream ended inside a record (%s of 3 bytes)\n", have);
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    set_program("statpipe-decode", USAGE);
    settings s = parse_command_line(argc, argv);
    // The degree sign only where the terminal's character set has it.
    (void)setlocale(LC_CTYPE, "");
    s.style.utf8 = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    sigset_t caught_set = catch_signals();
    int fd = open_stream(s, caught_set);
    return decode_stream(fd, s);
}
