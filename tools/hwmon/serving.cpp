// SPDX-License-Identifier: MIT
#define FUSE_USE_VERSION 34
#include "serving.h"

#include <fuse_lowlevel.h>

#include <stdio.h>
#include <string.h>

#include "command.h"
#include "command_line.h"

static const char MOUNT_BASE[] = "/proc/sys/dev";
static const char SENSORS_DIR[] = "/proc/sys/dev/sensors";
static const int LOOK_AGAIN_SECONDS = 10;

// A fresh look for each sensor: a file is there while its sensor is found.
// A look that fails changes nothing. Gives libsensors' error, or nullptr.
static const char *look_up(struct serving *serving, lookup_result *results)
{
    hwmon_sensor open[SERVED_COUNT];
    for (int file = 0; file < SERVED_COUNT; file++)
        open[file] = serving->tree.files[file].sensor;
    const char *error = look_up_sensors(serving->wanted, open, results, SERVED_COUNT);
    for (int file = 0; error == nullptr && file < SERVED_COUNT; file++) {
        if (results[file] != FOUND)
            hwmon_sensor_close(&open[file]);
        serving->tree.files[file].sensor = open[file];
    }
    return error;
}

// Says a failed look once, and when looks succeed again.
static bool note_look(struct serving *serving, const char *error)
{
    if (error == nullptr) {
        if (serving->look_failed)
            say("the sensors are looked up again\n");
        serving->look_failed = false;
        return true;
    }
    if (!serving->look_failed) {
        say("cannot look up the sensors: %s; what is served stays, and they are looked up again every 10 s\n",
            error);
    }
    serving->look_failed = true;
    serving->look_again_at = seconds_from_now(LOOK_AGAIN_SECONDS);
    return false;
}

void first_look(struct serving *serving)
{
    lookup_result results[SERVED_COUNT];
    if (!note_look(serving, look_up(serving, results)))
        return;
    for (int file = 0; file < SERVED_COUNT; file++) {
        const wanted_sensor *wanted = &serving->wanted[file];
        char chip[128];
        (void)snprintf(chip, sizeof chip, "%.*s", static_cast<int>(strcspn(wanted->pattern, ":")),
                       wanted->pattern);
        const char *name = serving->tree.files[file].name;
        char served_as[160];
        if (strcmp(wanted->feature, name) == 0)
            (void)snprintf(served_as, sizeof served_as, "%s is served", wanted->feature);
        else
            (void)snprintf(served_as, sizeof served_as, "%s is served as %s", wanted->feature, name);
        if (results[file] == NO_CHIP)
            say("no chip %s; %s once it appears\n", chip, served_as);
        else if (results[file] == NO_FEATURE)
            say("chip %s has no %s; it is served once it appears\n", chip, wanted->feature);
    }
}

void look_again(struct serving *serving)
{
    lookup_result results[SERVED_COUNT];
    (void)note_look(serving, look_up(serving, results));
}

int look_timeout(const struct serving *serving)
{
    return serving->look_failed ? milliseconds_until(&serving->look_again_at) : -1;
}

void look_if_due(struct serving *serving)
{
    if (look_timeout(serving) == 0)
        look_again(serving);
}

void serve_files(struct serving *serving)
{
    const char *why = make_private_mounts(MOUNT_BASE, SENSORS_DIR);
    if (why == nullptr)
        serving->session = mount_served_files(&serving->tree, serving->program, SENSORS_DIR, &why);
    if (serving->session == nullptr)
        say("cannot serve the sensor files: %s; %s runs without them\n", why, serving->command);
}

void take_requests(struct serving *serving, struct fuse_buf *buffer)
{
    if (serving->session == nullptr || serving->session_ended)
        return;
    int received = fuse_session_receive_buf(serving->session, buffer);
    if (received > 0)
        fuse_session_process_buf(serving->session, buffer);
    else if (session_has_ended(received))
        serving->session_ended = true;
}

// "X is gone", "X appeared (from PATH)", for each file that did.
static void describe_change(const struct serving *serving, unsigned now, char *line, size_t size)
{
    size_t used = 0;
    line[0] = '\0';
    for (int file = 0; file < SERVED_COUNT; file++) {
        const wanted_sensor *wanted = &serving->wanted[file];
        unsigned bit = 1u << file;
        if ((serving->started_with & bit) == (now & bit))
            continue;
        int length = (now & bit) != 0 ? snprintf(line + used, size - used, "%s%s appeared (from %s)",
                                                 used == 0 ? "" : ", ", wanted->found, wanted->path)
                                      : snprintf(line + used, size - used, "%s%s is gone",
                                                 used == 0 ? "" : ", ", wanted->found);
        if (length < 0 || static_cast<size_t>(length) >= size - used)
            return;
        used += static_cast<size_t>(length);
    }
}

const char *restart_reason(struct serving *serving)
{
    static char why[512];
    if (serving->session_ended)
        return "the sensor files' FUSE session ended (its connection aborted, or the mount gone)";
    // Files that nobody serves cannot come or go.
    unsigned now = served_mask(&serving->tree);
    if (serving->session == nullptr || now == serving->started_with)
        return nullptr;
    describe_change(serving, now, why, sizeof why);
    return why;
}

void before_start_again(struct serving *serving)
{
    if (serving->session_ended) {
        fuse_session_destroy(serving->session);
        serving->session = nullptr;
        serving->session_ended = false;
        serve_files(serving);
        if (serving->session != nullptr)
            give_up_privileges(nullptr);  // those the new namespace gave
    }
    if (serving->session != nullptr)
        look_again(serving);
    serving->started_with = served_mask(&serving->tree);
}
