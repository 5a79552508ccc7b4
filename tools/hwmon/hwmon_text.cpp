// SPDX-License-Identifier: MIT
#include "hwmon_text.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int open_attribute(const char *path)
{
    return path == nullptr ? -1 : open(path, O_RDONLY | O_CLOEXEC);
}

bool hwmon_sensor_open(hwmon_sensor *sensor, hwmon_kind kind, const char *input, const char *const limits[2])
{
    sensor->kind = kind;
    sensor->input = open_attribute(input);
    for (int i = 0; i < 2; i++)
        sensor->limits[i] = sensor->input == -1 ? -1 : open_attribute(limits[i]);
    return sensor->input != -1;
}

void hwmon_sensor_close(hwmon_sensor *sensor)
{
    const int fds[] = {sensor->input, sensor->limits[0], sensor->limits[1]};
    for (int fd : fds) {
        if (fd != -1)
            close(fd);
    }
    sensor->input = sensor->limits[0] = sensor->limits[1] = -1;
}

// One value, read afresh from the start: sysfs makes the whole text anew
// for a read at offset 0, so nothing is torn or stale. False with errno
// set where the read fails (EINVAL: no number).
static bool read_attribute(int fd, long long *value)
{
    char text[64];
    ssize_t length = pread(fd, text, sizeof text - 1, 0);
    if (length < 0)
        return false;
    text[length] = '\0';
    char *end;
    errno = 0;
    *value = strtoll(text, &end, 10);
    if (end == text || errno == ERANGE) {
        errno = EINVAL;
        return false;
    }
    while (*end == '\n' || *end == ' ')
        end++;
    errno = EINVAL;
    return *end == '\0';
}

// The limits are optional in hwmon: absent or unreadable, they read as 0.
// A device that is gone is not a missing limit: that fails the whole text.
static bool read_limit(int fd, long long *value)
{
    *value = 0;
    if (fd == -1 || read_attribute(fd, value))
        return true;
    *value = 0;
    return errno != ENODEV;
}

int format_millidegrees(long long millidegrees, char *text, size_t size)
{
    unsigned long long magnitude = millidegrees < 0 ? 0ULL - static_cast<unsigned long long>(millidegrees)
                                                    : static_cast<unsigned long long>(millidegrees);
    unsigned fraction = static_cast<unsigned>(magnitude % 1000);
    int digits = 3;  // as many as the value needs, at least one
    for (; digits > 1 && fraction % 10 == 0; digits--)
        fraction /= 10;
    return snprintf(text, size, "%s%llu.%0*u", millidegrees < 0 ? "-" : "", magnitude / 1000, digits,
                    fraction);
}

int hwmon_text(const hwmon_sensor *sensor, char *text, size_t size)
{
    long long limits[2];
    long long input;
    // The input last: read well, the device was there for the limits too.
    if (!read_limit(sensor->limits[0], &limits[0]) || !read_limit(sensor->limits[1], &limits[1]) ||
        sensor->input == -1 || !read_attribute(sensor->input, &input))
        return -1;
    int length;
    if (sensor->kind == HWMON_FAN) {
        length = snprintf(text, size, "%lld %lld\n", limits[0], input);
    } else {
        char degrees[3][32];
        format_millidegrees(limits[0], degrees[0], sizeof degrees[0]);
        format_millidegrees(limits[1], degrees[1], sizeof degrees[1]);
        format_millidegrees(input, degrees[2], sizeof degrees[2]);
        length = snprintf(text, size, "%s %s %s\n", degrees[0], degrees[1], degrees[2]);
    }
    return length < 0 || static_cast<size_t>(length) >= size ? -1 : length;
}
