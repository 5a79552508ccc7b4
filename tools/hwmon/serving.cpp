// SPDX-License-Identifier: MIT
#define FUSE_USE_VERSION 34
#include "serving.h"

#include <fuse_lowlevel.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "command_line.h"

static const int LOOK_AGAIN_SECONDS = 10;
static const int SERVE_AGAIN_SECONDS = 60;
// A chip that comes or goes after a quiet time is followed at once; one
// that keeps changing is paced: each restart for it waits the pace after
// the last, the pace growing fivefold each time up to a minute, and
// falling back once the chip has been quiet for QUIET_SECONDS. So a chip
// back a few seconds after it went is served again at once, and ten flaps
// in twenty seconds cost four restarts.
static const int FIRST_PACE_SECONDS = 1;
static const int PACE_GROWTH = 5;
static const int LONGEST_PACE_SECONDS = 60;
static const int QUIET_SECONDS = 8;

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
    char why[sizeof serving->unserved];
    const char *failed = why;
    int fuse = keeper_mount(serving->keeper, why, sizeof why);
    if (fuse != -1)
        serving->session = serve_mounted_files(&serving->tree, serving->program, fuse, &failed);
    if (serving->session != nullptr) {
        serving->unserved[0] = '\0';
        return;
    }
    if (strcmp(failed, serving->unserved) != 0) {
        say("cannot serve the sensor files: %s; %s runs without them, and they are tried again each minute\n",
            failed, serving->command);
        (void)snprintf(serving->unserved, sizeof serving->unserved, "%s", failed);
    }
    serving->serve_again_at = seconds_from_now(SERVE_AGAIN_SECONDS);
}

void take_requests(struct serving *serving, struct fuse_buf *buffer)
{
    if (serving->session == nullptr || serving->session_ended)
        return;
    int received = fuse_session_receive_buf(serving->session, buffer);
    switch (received_how(received)) {
    case RECEIVED_REQUEST:
        serving->receive_failed = false;
        fuse_session_process_buf(serving->session, buffer);
        break;
    case RECEIVED_END:
        serving->session_ended = true;
        break;
    case RECEIVED_ERROR:
        if (!serving->receive_failed)
            say("cannot take a request: %s; going on\n", strerror(-received));
        serving->receive_failed = true;
        break;
    case RECEIVED_NOTHING:
        break;
    }
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

// Why the command must start again, in one line, and whether that waits
// for the pace; nullptr if it need not.
static const char *restart_reason(struct serving *serving, bool *paced)
{
    static char why[512];
    *paced = false;
    if (serving->session_ended)
        return "the sensor files' FUSE session ended (its connection aborted, or the mount gone)";
    if (serving->served_anew)
        return "the sensor files can be served now";
    // Files that nobody serves cannot come or go.
    unsigned now = served_mask(&serving->tree);
    if (serving->session == nullptr || now == serving->started_with)
        return nullptr;
    *paced = true;
    describe_change(serving, now, why, sizeof why);
    return why;
}

// Each minute while the files cannot be served; the command runs on until
// they can.
static int serve_again_if_due(struct serving *serving)
{
    if (serving->session != nullptr || serving->served_anew)
        return -1;
    int left = milliseconds_until(&serving->serve_again_at);
    if (left > 0)
        return left;
    serve_files(serving);
    serving->served_anew = serving->session != nullptr;
    return serving->served_anew ? 0 : milliseconds_until(&serving->serve_again_at);
}

int decide_restart(struct serving *serving, struct supervised_command *command)
{
    // A file whose chip a read found gone is gone.
    for (served_file &file : serving->tree.files) {
        if (file.chip_gone)
            hwmon_sensor_close(&file.sensor);
        file.chip_gone = false;
    }
    if (command->passed != 0 || command->pid == -1)
        return -1;
    if (command->restarting)
        return end_restart_in_time(command);
    // Nothing starts again once the keeper has ended: a restart would only
    // end the command (whose end, its namespace now held by it alone, also
    // ends the session, before its SIGCHLD comes).
    if (command->keeper->pid == -1 || command->keeper->socket == -1)
        return -1;
    int wait = serve_again_if_due(serving);
    // A change after a quiet time starts the pace afresh.
    unsigned now = served_mask(&serving->tree);
    if (now != serving->seen) {
        if (milliseconds_until(&serving->quiet_at) == 0)
            serving->pace_seconds = 0;
        serving->seen = now;
        serving->quiet_at = seconds_from_now(QUIET_SECONDS);
    }
    bool paced;
    const char *why = restart_reason(serving, &paced);
    if (why == nullptr)
        return wait;
    bool quiet = milliseconds_until(&serving->quiet_at) == 0;
    if (paced && serving->pace_seconds > 0 && !quiet && milliseconds_until(&serving->paced_until) > 0)
        return earliest(wait, earliest(milliseconds_until(&serving->paced_until),
                                       milliseconds_until(&serving->quiet_at)));
    if (paced) {
        serving->pace_seconds = serving->pace_seconds == 0 || quiet
                                    ? FIRST_PACE_SECONDS
                                    : std::min(serving->pace_seconds * PACE_GROWTH, LONGEST_PACE_SECONDS);
        serving->paced_until = seconds_from_now(serving->pace_seconds);
    }
    restart_command(command, why);
    return end_restart_in_time(command);
}

bool start_again(struct serving *serving, struct supervised_command *command)
{
    if (serving->session_ended) {
        fuse_session_destroy(serving->session);
        serving->session = nullptr;
        serving->session_ended = false;
        serving->receive_failed = false;
        serve_files(serving);
    }
    serving->served_anew = false;
    if (serving->session != nullptr)
        look_again(serving);
    serving->started_with = served_mask(&serving->tree);
    return start_command(command);
}
