// SPDX-License-Identifier: MIT
// statpipe-decode as a user runs it: on captured streams, on a FIFO it
// creates, and live on the daemon's pipe.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

// load 0.38, 116 processes, memory 50 %, fan 4500, 45.5 degrees, a full
// load, a fan that cannot be counted, an unknown channel
static const std::string STREAM("\x00\x61\xa0\x01\x00\x74\x02\x80\x00\x03\x11\x94\x04\x02\xd7"
                                "\x00\xff\xff\x03\xff\xff\x07\x12\x34",
                                24);

class DecodeTool : public daemon_fixture {
protected:
    void SetUp() override
    {
        daemon_fixture::SetUp();
        if (HasFatalFailure())
            return;
        capture = dir + "/capture";
        write_file(capture, STREAM);
        out = dir + "/out";
    }
    // Runs statpipe-decode to its end; gives the exit status.
    // As nobody, the tool runs from the scratch directory, which a checkout
    // in a private directory is not, and its output is not kept.
    int decode(const std::vector<std::string> &args, const std::string &stdin_path = "/dev/null",
               double timeout = 10, const std::string &locale = "C.UTF-8", bool as_nobody = false)
    {
        daemon_options o;
        o.locale = locale;
        o.fast = false;
        o.program = DECODE_BINARY;
        o.stdin_path = stdin_path;
        o.stdout_path = out;
        if (as_nobody) {
            o.program = dir + "/statpipe-decode";
            const std::string built = DECODE_BINARY;
            EXPECT_EQ(system(("cp " + built + " " + o.program).c_str()), 0);
            o.unprivileged = true;
            o.stdout_path.clear();
        }
        tool = start_daemon(args, o);
        int status = wait_daemon(tool, timeout);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // The output without its time stamps, which say only when we ran.
    std::vector<std::string> lines_after_time(char separator)
    {
        std::vector<std::string> lines;
        std::string text = read_file(out);
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            std::string line = text.substr(at, end - at);
            size_t cut = separator == ' ' ? 23 : line.find(separator);
            lines.push_back(line.substr(cut == std::string::npos ? 0 : cut));
        }
        return lines;
    }
    std::string capture, out;
    daemon_process tool;
};

TEST_F(DecodeTool, CapturedStreamInEachFormat)
{
    const std::vector<std::string> text = {
        "    0 load        24992  0.38",    "    1 processes     116  116 processes",
        "    2 memory      32768  50.0 %",  "    3 fan          4500  4500 rpm",
        "    4 temperature   727  45.5 °C", "    0 load        65535  1.00 or more",
        "    3 fan         65535  -1 rpm",  "    7 unknown      4660  -",
    };
    const std::vector<std::string> csv = {
        ",channel,name,raw,value,unit",
        ",1,processes,24992,24992,count",
        ",2,memory,116,0.2,%",
        ",3,fan,32768,-32768,rpm",
    };
    const std::vector<std::string> jsonl = {
        ",\"channel\":0,\"name\":\"load\",\"raw\":24992,\"value\":0.38,\"unit\":\"load\",\"saturated\":"
        "false}",
    };
    ASSERT_EQ(decode({capture}), 0);
    EXPECT_EQ(lines_after_time(' '), text);
    ASSERT_EQ(decode({"--format=csv", "--count", "3", "--base=-1", capture}), 0);
    EXPECT_EQ(lines_after_time(','), csv);
    EXPECT_EQ(read_file(out).rfind("time,channel,name,raw,value,unit\n", 0), 0u);
    ASSERT_EQ(decode({"--format", "jsonl", "--count", "1", "-"}, capture), 0);
    EXPECT_EQ(lines_after_time(','), jsonl);
    std::string first = read_file(out);
    EXPECT_EQ(first.rfind("{\"time\":\"20", 0), 0u) << first;
    EXPECT_EQ(first.find("Z\","), 32u) << first;  // 2026-12-08T16:00:00.000Z
    // A capture decoded later, in a terminal without UTF-8; a path after --.
    std::string dashed = dir + "/-capture";
    write_file(dashed, STREAM.substr(12, 3));
    ASSERT_EQ(decode({"--no-time", "--", dashed}, "/dev/null", 10, "C"), 0);
    EXPECT_EQ(read_file(out), "  4 temperature   727  45.5 C\n");
}

TEST_F(DecodeTool, PartialRecordAndBadUsage)
{
    write_file(capture, STREAM.substr(0, 7));
    EXPECT_EQ(decode({"--format", "csv"}, capture), 1);
    EXPECT_EQ(lines_after_time(',').size(), 3u);  // header and two whole records
    EXPECT_EQ(tool.stderr_text, "statpipe-decode: the stream ended inside a record (1 of 3 bytes)\n");

    const std::string usage = "Usage: statpipe-decode [--base N] [--format text|csv|jsonl] [--count N] "
                              "[--no-time] [--create] [--] [PATH]\n";
    const struct {
        std::vector<std::string> args;
        std::string message;
        bool bad_command_line = true;  // the usage line follows
        bool as_nobody = false;        // needs root to become nobody
    } cases[] = {
        {{"--format", "xml"}, "unknown format 'xml' (text, csv or jsonl)"},
        {{"--count", "0"}, "--count needs a positive whole number, not '0'"},
        {{"--count", "-3"}, "--count needs a positive whole number, not '-3'"},
        {{"--count", "5x"}, "--count needs a positive whole number, not '5x'"},
        {{"--base"}, "--base needs a value"},
        {{"--base", "0x10"}, "--base needs a decimal number, not '0x10'"},
        {{"--base=sixteen"}, "--base needs a decimal number, not 'sixteen'"},
        {{"--base="}, "--base needs a decimal number, not ''"},
        {{"--count=many"}, "--count needs a positive whole number, not 'many'"},
        {{"--verbose"}, "unknown option '--verbose'"},
        {{"-x"}, "unknown option '-x'"},
        {{capture, capture}, "only one PATH may be given, not also '" + capture + "'"},
        {{"--create"}, "--create needs a PATH"},
        {{"--create", "-"}, "--create needs a PATH"},
        {{dir + "/missing"}, "cannot find " + dir + "/missing: No such file or directory", false},
        {{dir}, dir + " is a directory", false},
        {{fifo}, "cannot open " + fifo + ": Permission denied (its readers are group root)", false, true},
    };
    chmod(fifo.c_str(), 0640);
    for (const auto &c : cases) {
        if (c.as_nobody && !is_root()) {
            (void)printf("cases not run: \"%s\" (becoming nobody needs root)\n", c.message.c_str());
            continue;
        }
        EXPECT_EQ(decode(c.args, "/dev/null", 10, "C.UTF-8", c.as_nobody), 2) << c.message;
        EXPECT_EQ(tool.stderr_text,
                  "statpipe-decode: " + c.message + "\n" + (c.bad_command_line ? usage : ""));
    }
    EXPECT_EQ(decode({"/dev/null"}), 0) << "a device, as < would take it";
    EXPECT_EQ(decode({"--version"}), 0);
    EXPECT_EQ(read_file(out), "statpipe-decode 1.0.0\n");
}

TEST_F(DecodeTool, CreateRemovesOnlyTheFifoItMade)
{
    std::string made = dir + "/made";
    daemon_options o;
    o.fast = false;
    o.program = DECODE_BINARY;
    o.stdout_path = out;
    // Made here, fed and closed by a writer: the tool ends and removes it.
    tool = start_daemon({"--create", made}, o);
    struct stat st;
    for (int i = 0; i < 200 && lstat(made.c_str(), &st) == -1; i++)
        pause_seconds(0.01);
    ASSERT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    int writer = open(made.c_str(), O_WRONLY);
    ASSERT_EQ(write(writer, STREAM.data(), 6), 6);
    close(writer);
    int status = wait_daemon(tool, 10);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(lines_after_time(' ').size(), 2u);
    EXPECT_EQ(lstat(made.c_str(), &st), -1) << "the FIFO it made is left behind";

    // Made here, then a signal: removed too.
    tool = start_daemon({"--create", made}, o);
    for (int i = 0; i < 200 && lstat(made.c_str(), &st) == -1; i++)
        pause_seconds(0.01);
    ASSERT_TRUE(S_ISFIFO(st.st_mode));
    kill(tool.pid, SIGTERM);
    wait_daemon(tool, 10);
    EXPECT_EQ(lstat(made.c_str(), &st), -1) << "the FIFO it made is left behind";

    // A signal the moment the FIFO exists, before the tool has noted it
    // (strace holds it there for a second): removed all the same.
    daemon_options traced = o;
    traced.prefix = {"strace", "-f", "-o", "/dev/null", "-e", "inject=mknodat:delay_exit=1000000"};
    tool = start_daemon({"--create", made}, traced);
    for (int i = 0; i < 500 && lstat(made.c_str(), &st) == -1; i++)
        pause_seconds(0.01);
    ASSERT_TRUE(S_ISFIFO(st.st_mode));
    std::string task =
        "/proc/" + std::to_string(tool.pid) + "/task/" + std::to_string(tool.pid) + "/children";
    pid_t traced_tool = static_cast<pid_t>(strtol(read_file(task).c_str(), nullptr, 10));
    ASSERT_GT(traced_tool, 0);
    kill(traced_tool, SIGTERM);
    wait_daemon(tool, 10);
    EXPECT_EQ(lstat(made.c_str(), &st), -1) << "a signal right after mkfifo left the FIFO behind";

    // Already there: used and kept.
    ASSERT_EQ(decode({"--create", capture}), 0);
    EXPECT_EQ(read_file(capture), STREAM);
    tool = start_daemon({"--create", fifo}, o);
    writer = open(fifo.c_str(), O_WRONLY);
    close(writer);
    wait_daemon(tool, 10);
    EXPECT_EQ(lstat(fifo.c_str(), &st), 0);
}

TEST_F(DecodeTool, LiveOnTheDaemonsPipe)
{
    start({fifo, "254"});
    EXPECT_EQ(
        decode({"--base", "254", "--count", "4", "--format", "csv", fifo}, "/dev/null", real_seconds(60)), 0);
    auto lines = lines_after_time(',');
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1].rfind(",0,load,", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind(",1,processes,", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind(",2,memory,", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4].rfind(",0,load,", 0), 0u) << lines[4];
}
