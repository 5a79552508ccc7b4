// SPDX-License-Identifier: MIT
// Finding and following a sensor: chips as sensors(1) names them, through
// libsensors, and the kernel's word when a chip comes or goes.
#ifndef STATPIPE_SENSOR_LOOKUP_H
#define STATPIPE_SENSOR_LOOKUP_H

#include <sensors/sensors.h>

#include "hwmon_text.h"

// One sensor asked for on the command line, and the chip that answers it.
struct wanted_sensor {
    const char *pattern;  // CHIP:FEATURE as given
    hwmon_kind kind;
    sensors_chip_name chip;  // the pattern's chip; once found, that chip alone
    bool followed;           // chip is the one found, by bus and address
    char feature[64];
    char found[192];  // CHIP:FEATURE of the chip served, for messages
    char path[256];   // its sysfs directory, for messages
};

// Reads pattern ("CHIP:FEATURE") into wanted; false if it is malformed.
bool parse_wanted_sensor(wanted_sensor *wanted, const char *pattern, hwmon_kind kind);

enum lookup_result { FOUND, NO_CHIP, NO_FEATURE };

// A fresh look at the kernel's chips for each of count sensors: where one
// is found, its attributes are opened into open[i] (whatever was open
// there is closed first). At the first lookup, a pattern that more than
// one chip matches is said in a line. Gives libsensors' error, or nullptr.
const char *look_up_sensors(wanted_sensor *wanted, hwmon_sensor *open, lookup_result *results, int count);

// A socket on the kernel's device events (uevents), or -1.
int open_device_events();
// Reads all that waits there; whether any of it was about an hwmon device.
bool hwmon_device_changed(int events);

#endif
