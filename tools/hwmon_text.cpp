#include "hwmon_text.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static bool join(char *name, const char *prefix, const char *suffix)
{
    int length = snprintf(name, PATH_MAX, "%s%s", prefix, suffix);
    return length >= 0 && length < PATH_MAX;
}

bool hwmon_sensor_from_prefix(hwmon_sensor *sensor, hwmon_kind kind, const char *prefix)
{
    sensor->kind = kind;
    sensor->limits[1][0] = '\0';
    if (!join(sensor->input, prefix, "_input"))
        return false;
    if (kind == HWMON_FAN)
        return join(sensor->limits[0], prefix, "_min");
    return join(sensor->limits[0], prefix, "_max") && join(sensor->limits[1], prefix, "_max_hyst");
}

ssize_t read_text(const char *path, char *text, size_t size)
{
    text[0] = '\0';
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return -1;
    ssize_t length = read(fd, text, size - 1);
    close(fd);
    text[length > 0 ? length : 0] = '\0';
    return length;
}

// One attribute, opened afresh, so that a file that comes back is seen at
// once. sysfs answers a whole value in one read: nothing is torn.
static bool read_attribute(const char *path, long long *value)
{
    char text[64];
    if (read_text(path, text, sizeof text) <= 0)
        return false;
    char *end;
    errno = 0;
    *value = strtoll(text, &end, 10);
    if (end == text || errno == ERANGE)
        return false;
    while (*end == '\n' || *end == ' ')
        end++;
    return *end == '\0';
}

// The limits are optional in hwmon: absent or unreadable, they read as 0.
static long long read_limit(const char *path)
{
    long long value = 0;
    if (path[0] == '\0' || !read_attribute(path, &value))
        return 0;
    return value;
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
    long long input;
    if (!read_attribute(sensor->input, &input))
        return -1;
    int length;
    if (sensor->kind == HWMON_FAN) {
        length = snprintf(text, size, "%lld %lld\n", read_limit(sensor->limits[0]), input);
    } else {
        char degrees[3][32];
        format_millidegrees(read_limit(sensor->limits[0]), degrees[0], sizeof degrees[0]);
        format_millidegrees(read_limit(sensor->limits[1]), degrees[1], sizeof degrees[1]);
        format_millidegrees(input, degrees[2], sizeof degrees[2]);
        length = snprintf(text, size, "%s %s %s\n", degrees[0], degrees[1], degrees[2]);
    }
    return length < 0 || static_cast<size_t>(length) >= size ? -1 : length;
}
