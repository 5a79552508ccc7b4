// SPDX-License-Identifier: MIT
// The old sensor file texts, made from the one-value-per-file attributes
// that current kernels publish under /sys/class/hwmon.
#ifndef STATPIPE_HWMON_TEXT_H
#define STATPIPE_HWMON_TEXT_H

#include <stddef.h>

enum hwmon_kind { HWMON_FAN, HWMON_TEMPERATURE };

// The open attribute files of one sensor. Held open, they stay bound to
// the device that published them: once it is gone they fail with ENODEV,
// even when another device takes its place under the same name.
struct hwmon_sensor {
    hwmon_kind kind;
    int input;      // -1: not open
    int limits[2];  // fan: min; temperature: max and max_hyst; -1: none
};

// Opens the input and those limits that exist (a null or missing path:
// none). False, with nothing left open, if the input cannot be opened.
bool hwmon_sensor_open(hwmon_sensor *sensor, hwmon_kind kind, const char *input, const char *const limits[2]);
void hwmon_sensor_close(hwmon_sensor *sensor);

// Reads the attributes now and writes the text: "MIN INPUT\n" in RPM, or
// "MAX HYST INPUT\n" in degrees Celsius. A missing or unreadable limit
// reads as 0. Gives the length, or -1 when the input cannot be read or
// holds no number; errno is ENODEV when the device is gone.
int hwmon_text(const hwmon_sensor *sensor, char *text, size_t size);

// Millidegrees as exact degrees: 45500 as "45.5", -5 as "-0.005", 0 as "0.0".
int format_millidegrees(long long millidegrees, char *text, size_t size);

#endif
