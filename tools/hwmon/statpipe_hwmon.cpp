// SPDX-License-Identifier: MIT
// statpipe-hwmon: runs a command in a private mount namespace in which the
// two sensor files that statpipe reads exist at their old paths, answered
// at every read from the hwmon attributes of a current kernel. Sensors are
// named as sensors(1) names them, and followed as their chip comes and
// goes; the command is started again when a file comes or goes, since
// statpipe opens its files only once.
#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "command.h"
#include "command_line.h"
#include "keeper.h"
#include "serving.h"

static const char USAGE[] =
    "Usage: statpipe-hwmon [--fan CHIP:FEATURE] [--temperature CHIP:FEATURE] [--user USER] "
    "-- COMMAND [ARG...]\n";

struct options {
    const char *patterns[SERVED_COUNT] = {"as99127f-i2c-*-2d:fan2", "as99127f-i2c-*-2d:temp2"};
    const char *user = nullptr;
    char **command = nullptr;
};

// Exits on a bad command line.
static options parse_command_line(int argc, char **argv, wanted_sensor *wanted)
{
    options chosen;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
        const char *option = argv[i];
        if (strcmp(option, "--help") == 0 || strcmp(option, "-h") == 0)
            print_usage();
        if (strcmp(option, "--version") == 0)
            print_version();
        if (!is_option(option, "--fan") && !is_option(option, "--temperature") &&
            !is_option(option, "--user")) {
            if (option[0] != '-')
                fail_usage("COMMAND must follow --, before '%s'\n", option);
            fail_usage("unknown option '%s'\n", option);
        }
        const char *value = option_value(argc, argv, &i);
        if (value == nullptr)
            fail_usage("%s needs a value\n", option);
        if (is_option(option, "--user"))
            chosen.user = value;
        else
            chosen.patterns[is_option(option, "--fan") ? SERVED_FAN : SERVED_TEMPERATURE] = value;
    }
    for (int file = 0; file < SERVED_COUNT; file++) {
        if (!parse_wanted_sensor(&wanted[file], chosen.patterns[file],
                                 file == SERVED_FAN ? HWMON_FAN : HWMON_TEMPERATURE))
            fail_usage("'%s' is not CHIP:FEATURE, as sensors(1) names them (for example as99127f-*:fan2)\n",
                       chosen.patterns[file]);
    }
    if (i + 1 >= argc)
        fail_usage("no COMMAND to run\n");
    chosen.command = argv + i + 1;
    return chosen;
}

// Answers each request as it comes, passes signals on, looks again when a
// device comes or goes, and starts the command again when the restart
// rule says so. Never blocks but in poll. Returns once the command has
// ended for good.
static void serve(struct serving *serving, int events, supervised_command *command)
{
    struct fuse_buf buffer = {};
    bool poll_failed = false;
    for (;;) {
        // Decided before each wait, so that its timeout is there from the
        // first: nothing else may come to wake us.
        int timeout = decide_restart(serving, command);
        // A session that ended is not waited on: it would wake us at once.
        bool live = serving->session != nullptr && !serving->session_ended;
        struct pollfd polled[3] = {{live ? fuse_session_fd(serving->session) : -1, POLLIN, 0},
                                   {command->signals, POLLIN, 0},
                                   {events, POLLIN, 0}};
        if (poll(polled, 3, earliest(timeout, look_timeout(serving))) == -1) {
            // Out of memory, say: said once, and tried again each second.
            int error = errno;
            if (error != EINTR && !poll_failed)
                say("cannot wait for requests: %s; trying again each second\n", strerror(error));
            poll_failed = error != EINTR;
            if (poll_failed)
                (void)sleep(1);
            continue;
        }
        poll_failed = false;
        if (polled[1].revents & POLLIN) {
            command_state state = on_command_signal(command);
            if (state == COMMAND_ENDED || (state == COMMAND_TO_START_AGAIN && !start_again(serving, command)))
                break;
        }
        if ((polled[2].revents & POLLIN) && hwmon_device_changed(events))
            look_again(serving);
        look_if_due(serving);
        if (polled[0].revents != 0)
            take_requests(serving, &buffer);
    }
    free(buffer.mem);
}

int main(int argc, char **argv)
{
    set_program("statpipe-hwmon", USAGE);
    static struct serving serving = {};
    options chosen = parse_command_line(argc, argv, serving.wanted);
    static struct identity who;
    look_up_identity(&who, chosen.user);
    if (who.name == nullptr && geteuid() == 0)
        say("%s runs as root, with no capability (--user USER runs it as USER)\n", chosen.command[0]);
    // The keeper makes the mounts and starts the command; this process,
    // which answers the requests, keeps nothing from here on.
    static struct keeper keeper;
    supervised_command command;
    prepare_supervising(&command, chosen.command, &keeper);
    start_keeper(&keeper, chosen.command, &who, &command.unblocked);
    give_up_privileges(&who);
    serving.tree = {
        {{"fan2", {HWMON_FAN, -1, {-1, -1}}, false}, {"temp2", {HWMON_TEMPERATURE, -1, {-1, -1}}, false}}, 0};
    serving.program = argv[0];
    serving.command = chosen.command[0];
    serving.keeper = &keeper;
    // Listen, then look: a chip bound in between is heard of.
    int events = open_device_events();
    if (events == -1)
        say("cannot hear the kernel's device events: %s; a chip that comes or goes is not seen\n",
            strerror(errno));
    first_look(&serving);
    serve_files(&serving);
    serving.started_with = served_mask(&serving.tree);
    serving.seen = serving.started_with;
    if (start_command(&command))
        serve(&serving, events, &command);
    stop_keeper(&keeper);
    end_as_command(&command);
}
