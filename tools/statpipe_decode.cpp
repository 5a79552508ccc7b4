// statpipe-decode: prints the records of a statpipe stream as they arrive.
#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "command_line.h"
#include "decode.h"
#include "statpipe.h"

static const char USAGE[] = "usage: statpipe-decode [--base N] [--format text|csv|jsonl] [--count N] "
                            "[--no-time] [--create] [--] [PATH]\n";
static const char VERSION[] = "statpipe-decode " STATPIPE_VERSION "\n";

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

#define PREFIX "statpipe-decode: "

[[noreturn]] static void fail(int status, const char *message, const char *first = nullptr,
                              const char *second = nullptr)
{
    diagnose(message, first, second);
    remove_created_fifo();
    exit(status);
}

static const char *required_value(int argc, char **argv, int *i)
{
    const char *option = argv[*i];
    const char *value = option_value(argc, argv, i);
    if (value == nullptr)
        fail(2, PREFIX "%s needs a value\n", option);
    return value;
}

static unsigned long parse_count(const char *text)
{
    char *end;
    errno = 0;
    unsigned long n = strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || n == 0)
        fail(2, PREFIX "--count needs a positive whole number, not '%s'\n", text);
    return n;
}

// The daemon's base address, but only as a plain decimal number: a typing
// error must not quietly decode every channel wrong.
static uint8_t parse_base(const char *text)
{
    const char *digits = text + (*text == '-' || *text == '+');
    if (*digits == '\0' || strspn(digits, "0123456789") != strlen(digits))
        fail(2, PREFIX "--base needs a decimal number, not '%s'\n", text);
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
    fail(2, PREFIX "unknown format '%s' (text, csv or jsonl)\n", text);
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
            fail(1, PREFIX "cannot read the stream: %s\n", strerror(errno));
        }
        have += static_cast<size_t>(n);
    }
    return have;
}

int main(int argc, char **argv)
{
    uint8_t base = 0;
    // The degree sign only where the terminal's character set has it.
    (void)setlocale(LC_CTYPE, "");
    output_style style = {FORMAT_TEXT, true, strcmp(nl_langinfo(CODESET), "UTF-8") == 0};
    unsigned long count = 0;  // 0: no limit
    bool create = false;
    bool options_end = false;
    const char *path = nullptr;

    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (options_end || arg[0] != '-' || arg[1] == '\0') {
            if (path)
                fail(2, PREFIX "only one PATH may be given, not also '%s'\n", arg);
            path = arg;
        } else if (strcmp(arg, "--") == 0)
            options_end = true;
        else if (is_option(arg, "--base"))
            base = parse_base(required_value(argc, argv, &i));
        else if (is_option(arg, "--format"))
            style.format = parse_format(required_value(argc, argv, &i));
        else if (is_option(arg, "--count"))
            count = parse_count(required_value(argc, argv, &i));
        else if (strcmp(arg, "--create") == 0)
            create = true;
        else if (strcmp(arg, "--no-time") == 0)
            style.time_stamps = false;
        else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0)
            return fputs(USAGE, stdout) == EOF || fflush(stdout) != 0 ? 1 : 0;
        else if (strcmp(arg, "--version") == 0)
            return fputs(VERSION, stdout) == EOF || fflush(stdout) != 0 ? 1 : 0;
        else
            fail(2, PREFIX "unknown option '%s'; try --help\n", arg);
    }
    bool from_stdin = path == nullptr || strcmp(path, "-") == 0;
    if (create && from_stdin)
        fail(2, PREFIX "--create needs a PATH\n");

    static const int caught[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    sigset_t caught_set;
    sigemptyset(&caught_set);
    for (int signo : caught) {
        if (signal(signo, on_signal) == SIG_ERR || sigaddset(&caught_set, signo) == -1)
            fail(1, PREFIX "cannot catch %s: %s\n", strsignal(signo), strerror(errno));
    }

    int fd = 0;
    if (!from_stdin) {
        struct stat st;
        if (create && lstat(path, &st) == -1 && errno == ENOENT) {
            // A signal between making the FIFO and noting it would leave
            // it behind: it waits until the FIFO is ours to remove.
            sigset_t before;
            if (sigprocmask(SIG_BLOCK, &caught_set, &before) == -1)
                fail(1, PREFIX "cannot block signals: %s\n", strerror(errno));
            if (mkfifo(path, 0600) == -1)
                fail(2, PREFIX "cannot create FIFO %s: %s\n", path, strerror(errno));
            created_fifo = path;
            (void)sigprocmask(SIG_SETMASK, &before, nullptr);  // cannot fail: restores a mask we had
        }
        if (stat(path, &st) == -1)
            fail(2, PREFIX "cannot find %s: %s\n", path, strerror(errno));
        // Whatever < would take, a device too; a directory reads nothing.
        if (S_ISDIR(st.st_mode))
            fail(2, PREFIX "%s is a directory\n", path);
        fd = open(path, O_RDONLY);  // waits for a writer on a FIFO
        if (fd == -1)
            fail(2, PREFIX "cannot open %s: %s\n", path, strerror(errno));
    }

    if (style.format == FORMAT_CSV && fputs(csv_header(style), stdout) == EOF)
        fail(1, PREFIX "cannot write the output: %s\n", strerror(errno));
    uint8_t bytes[3];
    size_t got = 0;
    for (unsigned long done = 0; count == 0 || done < count; done++) {
        got = read_record(fd, bytes);
        if (got < 3)
            break;
        struct timespec at;
        clock_gettime(CLOCK_REALTIME, &at);
        char line[256];
        int length = format_record(line, sizeof line, style, decode_record(bytes, base), at);
        if (length < 0 ||
            fwrite(line, 1, static_cast<size_t>(length), stdout) != static_cast<size_t>(length) ||
            fflush(stdout) != 0)
            fail(1, PREFIX "cannot write the output: %s\n", strerror(errno));
        got = 0;
    }
    remove_created_fifo();
    if (got > 0) {
        const char have[2] = {static_cast<char>('0' + got), '\0'};  // 1 or 2
        diagnose(PREFIX "the stream ended inside a record (%s of 3 bytes)\n", have);
        return 1;
    }
    return 0;
}
