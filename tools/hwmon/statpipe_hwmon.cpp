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
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "command.h"
#include "command_line.h"
#include "sensor_lookup.h"
#include "served_files.h"

static const char USAGE[] =
    "Usage: statpipe-hwmon [--fan CHIP:FEATURE] [--temperature CHIP:FEATURE] [--user USER] "
    "-- COMMAND [ARG...]\n";
static const char MOUNT_BASE[] = "/proc/sys/dev";
static const char SENSORS_DIR[] = "/proc/sys/dev/sensors";

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

// A fresh look for each sensor: a file is there while its sensor is found.
// Gives libsensors' error, or nullptr.
static const char *look_up(wanted_sensor *wanted, served_tree *tree, lookup_result *results)
{
    hwmon_sensor open[SERVED_COUNT];
    for (int file = 0; file < SERVED_COUNT; file++)
        open[file] = tree->files[file].sensor;
    const char *error = look_up_sensors(wanted, open, results, SERVED_COUNT);
    for (int file = 0; file < SERVED_COUNT; file++) {
        if (results[file] != FOUND)
            hwmon_sensor_close(&open[file]);
        tree->files[file].sensor = open[file];
    }
    return error;
}

// What is missing at start is said once: the command's open of that file
// fails, and it is started again when the sensor appears.
static void find_sensors(wanted_sensor *wanted, served_tree *tree)
{
    lookup_result results[SERVED_COUNT];
    const char *error = look_up(wanted, tree, results);
    if (error != nullptr) {
        say("cannot look up the sensors: %s\n", error);
        return;
    }
    for (int file = 0; file < SERVED_COUNT; file++) {
        char chip[128];
        (void)snprintf(chip, sizeof chip, "%.*s", static_cast<int>(strcspn(wanted[file].pattern, ":")),
                       wanted[file].pattern);
        if (results[file] == NO_CHIP)
            say("no chip %s; %s is served once it appears\n", chip, wanted[file].feature);
        else if (results[file] == NO_FEATURE)
            say("chip %s has no %s; it is served once it appears\n", chip, wanted[file].feature);
    }
}

// One line for what changed since the command started: "X is gone", "X
// appeared (from PATH)".
static void describe_change(const wanted_sensor *wanted, unsigned before, unsigned now, char *line,
                            size_t size)
{
    size_t used = 0;
    line[0] = '\0';
    for (int file = 0; file < SERVED_COUNT; file++) {
        unsigned bit = 1u << file;
        if ((before & bit) == (now & bit))
            continue;
        int length = (now & bit) != 0 ? snprintf(line + used, size - used, "%s%s appeared (from %s)",
                                                 used == 0 ? "" : ", ", wanted[file].found, wanted[file].path)
                                      : snprintf(line + used, size - used, "%s%s is gone",
                                                 used == 0 ? "" : ", ", wanted[file].found);
        if (length < 0 || static_cast<size_t>(length) >= size - used)
            return;
        used += static_cast<size_t>(length);
    }
}

// Answers each request as it comes, passes signals on, and starts the
// command again whenever the files it could open are no longer those
// there are. Returns once the command has ended for good.
static void serve(struct fuse_session *session, int events, supervised_command *command,
                  wanted_sensor *wanted, served_tree *tree)
{
    struct pollfd polled[3] = {
        {fuse_session_fd(session), POLLIN, 0}, {command->signals, POLLIN, 0}, {events, POLLIN, 0}};
    struct fuse_buf buffer = {};
    unsigned started_with = served_mask(tree);
    for (;;) {
        if (poll(polled, 3, restart_timeout(command)) == -1)
            continue;  // EINTR: nothing else can fail here
        if (polled[1].revents & POLLIN) {
            command_state state = on_command_signal(command);
            if (state == COMMAND_ENDED)
                break;
            if (state == COMMAND_STARTED_AGAIN)
                started_with = served_mask(tree);
        }
        if ((polled[2].revents & POLLIN) && hwmon_device_changed(events)) {
            lookup_result results[SERVED_COUNT];
            (void)look_up(wanted, tree, results);
        }
        if (polled[0].revents != 0) {  // a request, or an error to read
            int received = fuse_session_receive_buf(session, &buffer);
            if (received > 0)
                fuse_session_process_buf(session, &buffer);
            else if (received != -EINTR && received != -EAGAIN)
                polled[0].fd = -1;  // unmounted under us: wait for the command alone
        }
        unsigned now = served_mask(tree);
        if (now != started_with && !command->restarting) {
            char why[512];
            describe_change(wanted, started_with, now, why, sizeof why);
            restart_command(command, why);
        }
    }
    free(buffer.mem);
}

int main(int argc, char **argv)
{
    set_program("statpipe-hwmon", USAGE);
    wanted_sensor wanted[SERVED_COUNT];
    options chosen = parse_command_line(argc, argv, wanted);
    const struct passwd *user = nullptr;
    // cppcheck-suppress getpwnamCalled ; one thread, before anything else
    if (chosen.user != nullptr && (user = getpwnam(chosen.user)) == nullptr)
        fail(1, "no user %s\n", chosen.user);
    served_tree tree = {{{"fan2", {HWMON_FAN, -1, {-1, -1}}}, {"temp2", {HWMON_TEMPERATURE, -1, {-1, -1}}}},
                        0};
    find_sensors(wanted, &tree);
    int events = open_device_events();
    if (events == -1)
        say("cannot hear the kernel's device events: %s; a chip that comes or goes is not seen\n",
            strerror(errno));
    make_private_mounts(MOUNT_BASE, SENSORS_DIR);
    struct fuse_session *session = mount_served_files(&tree, argv[0], SENSORS_DIR);
    give_up_privileges(user);
    supervised_command command;
    start_supervising(&command, chosen.command);
    serve(session, events, &command, wanted, &tree);
    // The mounts go with the namespace, once we are gone.
    end_as_command(&command);
}
