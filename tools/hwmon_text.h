// The old sensor file texts, made from the one-value-per-file attributes
// that current kernels publish under /sys/class/hwmon.
#ifndef STATPIPE_HWMON_TEXT_H
#define STATPIPE_HWMON_TEXT_H

#include <limits.h>
#include <stddef.h>
#include <sys/types.h>

enum hwmon_kind { HWMON_FAN, HWMON_TEMPERATURE };

// The attribute files of one sensor, named from a prefix such as
// /sys/class/hwmon/hwmon2/fan2. The input comes last.
struct hwmon_sensor {
    hwmon_kind kind;
    char input[PATH_MAX];
    char limits[2][PATH_MAX];  // fan: min; temperature: max and max_hyst
};

// Fills sensor from prefix; false if a name would not fit.
bool hwmon_sensor_from_prefix(hwmon_sensor *sensor, hwmon_kind kind, const char *prefix);

// Reads at most size - 1 bytes of the file at path into text, ending them
// with a zero byte; gives their count, or -1.
ssize_t read_text(const char *path, char *text, size_t size);

// Reads the attributes now and writes the text: "MIN INPUT\n" in RPM, or
// "MAX HYST INPUT\n" in degrees Celsius. A missing limit reads as 0. Gives
// the length, or -1 when the input cannot be read or holds no number.
int hwmon_text(const hwmon_sensor *sensor, char *text, size_t size);

// Millidegrees as exact degrees: 45500 as "45.5", -5 as "-0.005", 0 as "0.0".
int format_millidegrees(long long millidegrees, char *text, size_t size);

#endif
