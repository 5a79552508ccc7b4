// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "diagnose.h"

static const char *program_name;
static const char *program_usage;

bool is_option(const char *word, const char *name)
{
    size_t length = strlen(name);
    return strncmp(word, name, length) == 0 && (word[length] == '\0' || word[length] == '=');
}

const char *option_value(int argc, char **argv, int *i)
{
    const char *equals = strchr(argv[*i], '=');
    if (equals != nullptr)
        return equals + 1;
    if (*i + 1 >= argc)
        return nullptr;
    return argv[++*i];
}

void set_program(const char *name, const char *usage)
{
    program_name = name;
    program_usage = usage;
}

void say(const char *message, const char *first, const char *second)
{
    diagnose(message, first, second, program_name);
}

void fail(int status, const char *message, const char *first, const char *second)
{
    say(message, first, second);
    exit(status);
}

void fail_usage(const char *message, const char *first)
{
    say(message, first);
    diagnose(program_usage);
    exit(2);
}

void print_usage()
{
    exit(fputs(program_usage, stdout) == EOF || fflush(stdout) != 0 ? 1 : 0);
}

void print_version()
{
    exit(printf("%s %s\n", program_name, STATPIPE_VERSION) < 0 || fflush(stdout) != 0 ? 1 : 0);
}
