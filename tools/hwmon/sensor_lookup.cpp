// SPDX-License-Identifier: MIT
#include "sensor_lookup.h"

#include <errno.h>
#include <limits.h>
#include <linux/netlink.h>
#include <sensors/error.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "command_line.h"

// Which attributes make each kind's text: the input, then the limits.
static const sensors_subfeature_type ATTRIBUTES[2][3] = {
    {SENSORS_SUBFEATURE_FAN_INPUT, SENSORS_SUBFEATURE_FAN_MIN, SENSORS_SUBFEATURE_UNKNOWN},
    {SENSORS_SUBFEATURE_TEMP_INPUT, SENSORS_SUBFEATURE_TEMP_MAX, SENSORS_SUBFEATURE_TEMP_MAX_HYST},
};

bool parse_wanted_sensor(wanted_sensor *wanted, const char *pattern, hwmon_kind kind)
{
    *wanted = {};
    wanted->pattern = pattern;
    wanted->kind = kind;
    const char *colon = strchr(pattern, ':');
    if (colon == nullptr || colon == pattern || colon[1] == '\0' ||
        strlen(colon + 1) >= sizeof wanted->feature)
        return false;
    char chip[128];
    (void)snprintf(chip, sizeof chip, "%.*s", static_cast<int>(colon - pattern), pattern);
    (void)snprintf(wanted->feature, sizeof wanted->feature, "%s", colon + 1);
    (void)snprintf(wanted->found, sizeof wanted->found, "%s", pattern);
    return sensors_parse_chip_name(chip, &wanted->chip) == 0;
}

// Opens the feature's attributes on chip; false if it has no such feature
// or its input cannot be opened.
static bool open_feature(const wanted_sensor *wanted, const sensors_chip_name *chip, hwmon_sensor *open)
{
    const sensors_feature *feature;
    int number = 0;
    const sensors_feature_type type = wanted->kind == HWMON_FAN ? SENSORS_FEATURE_FAN : SENSORS_FEATURE_TEMP;
    while ((feature = sensors_get_features(chip, &number)) != nullptr) {
        if (feature->type != type || strcmp(feature->name, wanted->feature) != 0)
            continue;
        char names[3][PATH_MAX];
        const char *paths[3] = {nullptr, nullptr, nullptr};
        for (int i = 0; i < 3; i++) {
            const sensors_subfeature *attribute =
                sensors_get_subfeature(chip, feature, ATTRIBUTES[wanted->kind][i]);
            if (attribute != nullptr &&
                snprintf(names[i], sizeof names[i], "%s/%s", chip->path, attribute->name) < PATH_MAX)
                paths[i] = names[i];
        }
        return paths[0] != nullptr && hwmon_sensor_open(open, wanted->kind, paths[0], paths + 1);
    }
    return false;
}

// From its first find on, only that chip is looked for, by bus and
// address: another chip under its old hwmon number is never served under
// our names. It is copied, not printed and parsed back: a name with a '-'
// in it would not parse.
static void follow(wanted_sensor *wanted, const sensors_chip_name *chip)
{
    sensors_chip_name exact = {strdup(chip->prefix), chip->bus, chip->addr, nullptr};
    if (exact.prefix == nullptr)
        return;  // the pattern serves on
    sensors_free_chip_name(&wanted->chip);
    wanted->chip = exact;
    wanted->followed = true;
}

static lookup_result attach(wanted_sensor *wanted, hwmon_sensor *open)
{
    lookup_result result = NO_CHIP;
    const sensors_chip_name *chip;
    const sensors_chip_name *served = nullptr;
    int matches = 0;
    hwmon_sensor opened = {wanted->kind, -1, {-1, -1}};
    for (int number = 0; (chip = sensors_get_detected_chips(&wanted->chip, &number)) != nullptr;) {
        if (result == NO_CHIP)
            result = NO_FEATURE;
        hwmon_sensor candidate = {wanted->kind, -1, {-1, -1}};
        if (!open_feature(wanted, chip, served == nullptr ? &opened : &candidate))
            continue;
        hwmon_sensor_close(&candidate);
        matches++;
        if (served == nullptr)
            served = chip;
    }
    if (served == nullptr)
        return result;
    hwmon_sensor_close(open);
    *open = opened;
    char name[96];
    (void)sensors_snprintf_chip_name(name, sizeof name, served);
    (void)snprintf(wanted->found, sizeof wanted->found, "%s:%s", name, wanted->feature);
    (void)snprintf(wanted->path, sizeof wanted->path, "%s", served->path);
    if (!wanted->followed && matches > 1) {
        char line[512];
        (void)snprintf(line, sizeof line,
                       "%d chips match %s; serving %s (narrow the pattern to serve another)", matches,
                       wanted->pattern, wanted->found);
        say("%s\n", line);
    }
    if (!wanted->followed)
        follow(wanted, served);
    return FOUND;
}

// libsensors' complaints about its configuration files, gathered over a
// look and said only when they differ from the last look's: a file that
// does not parse is said once, not at every event.
static char complaints[2][1024];
static size_t complained;
static int this_look;

static void complain(const char *error, const char *file, int line)
{
    char *text = complaints[this_look] + complained;
    size_t room = sizeof complaints[0] - complained;
    file = file != nullptr ? file : "the sensors configuration";
    int length = line > 0 ? snprintf(text, room, "%s, line %d: %s\n", file, line, error)
                          : snprintf(text, room, "%s: %s\n", file, error);
    if (length > 0)
        complained += static_cast<size_t>(length) < room ? static_cast<size_t>(length) : room - 1;
}
static void on_parse_error(const char *error, int line)
{
    complain(error, nullptr, line);
}
static void on_parse_error_in(const char *error, const char *file, int line)
{
    complain(error, file, line);
}
// Out of memory: libsensors cannot go on, nor may we.
[[noreturn]] static void on_fatal_error(const char *function, const char *error)
{
    fail(1, "libsensors: %s: %s\n", function, error);
}

static void say_new_complaints()
{
    if (strcmp(complaints[0], complaints[1]) != 0) {
        for (char *line = complaints[this_look]; *line != '\0';) {
            char *end = strchr(line, '\n');
            if (end == nullptr) {  // cut short
                say("%s\n", line);
                break;
            }
            char saved = end[1];
            end[1] = '\0';
            say("%s", line);
            end[1] = saved;
            line = end + 1;
        }
    }
    this_look = 1 - this_look;
    complaints[this_look][0] = '\0';
    complained = 0;
}

const char *look_up_sensors(wanted_sensor *wanted, hwmon_sensor *open, lookup_result *results, int count)
{
    sensors_parse_error = on_parse_error;
    sensors_parse_error_wfn = on_parse_error_in;
    sensors_fatal_error = on_fatal_error;
    // libsensors reads the kernel's chips only when it starts.
    int status = sensors_init(nullptr);
    for (int i = 0; status == 0 && i < count; i++)
        results[i] = attach(&wanted[i], &open[i]);
    sensors_cleanup();
    say_new_complaints();
    return status == 0 ? nullptr : sensors_strerror(status);
}

int open_device_events()
{
    int events = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    struct sockaddr_nl address = {};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;  // the kernel's own
    if (events != -1 && bind(events, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == -1) {
        close(events);
        events = -1;
    }
    return events;
}

// An event is "ACTION@DEVPATH", then KEY=VALUE texts, each ending in a
// zero. Only a device that comes, goes or moves can change what a look
// finds; a "change" (some drivers send one for an alarm) cannot.
static bool about_hwmon(const char *event, size_t length)
{
    static const char key[] = "SUBSYSTEM=hwmon";
    static const char *const actions[] = {"add@", "remove@", "move@"};
    size_t header = strnlen(event, length);
    bool moved = false;
    for (const char *action : actions)
        moved = moved || (header > strlen(action) && memcmp(event, action, strlen(action)) == 0);
    for (size_t at = 0; moved && at < length;) {
        size_t text = strnlen(event + at, length - at);
        if (text == sizeof key - 1 && memcmp(event + at, key, text) == 0)
            return true;
        at += text + 1;
    }
    return false;
}

bool hwmon_device_changed(int events)
{
    bool changed = false;
    char event[8192];
    for (;;) {
        ssize_t length = recv(events, event, sizeof event, 0);
        if (length == -1 && errno == ENOBUFS)
            changed = true;  // some were lost: any of them may have been one
        else if (length > 0)
            changed = changed || about_hwmon(event, static_cast<size_t>(length));
        else if (length == -1 && errno == EINTR)
            continue;
        else
            return changed;
    }
}
