// SPDX-License-Identifier: MIT
// What both tools share: long options as they take them ("--name value"
// or "--name=value"), and how they speak and fail.
#ifndef STATPIPE_COMMAND_LINE_H
#define STATPIPE_COMMAND_LINE_H

// Whether word is the option name, alone or with "=value".
bool is_option(const char *word, const char *name);
// The value of the option at argv[*i]: what follows its '=', else the next
// word, which it steps past; nullptr if there is none.
const char *option_value(int argc, char **argv, int *i);

// The tool's name, before each of its messages, and its usage line; each
// main sets them first.
void set_program(const char *name, const char *usage);
// "PROGRAM: message", in one line, with first and second in place of its
// "%s" placeholders.
void say(const char *message, const char *first = nullptr, const char *second = nullptr);
// Says message and exits with status.
[[noreturn]] void fail(int status, const char *message, const char *first = nullptr,
                       const char *second = nullptr);
// A bad command line: says message, then the usage line, and exits 2.
[[noreturn]] void fail_usage(const char *message, const char *first = nullptr);
// --help: the usage line on standard output; exits 0, or 1 if it cannot.
[[noreturn]] void print_usage();
// --version: "PROGRAM VERSION" on standard output; exits as print_usage.
[[noreturn]] void print_version();

#endif
