// SPDX-License-Identifier: MIT
// Channels 3 and 4, from the hardware-monitoring files of the sensor chip.
#include <fcntl.h>
#include <math.h>
#include <stdlib.h>
#include <unistd.h>

#include "statpipe.h"

const char FAN_PATH[] = "/proc/sys/dev/sensors/as99127f-i2c-1-2d/fan2";
const char TEMPERATURE_PATH[] = "/proc/sys/dev/sensors/as99127f-i2c-1-2d/temp2";

// Shared by both devices: each scan finishes before the next read.
static char i2cbuf[128];

static void open_sensor_device(sensor_device *device)
{
    device->fd = open(device->path, O_RDONLY);
    if (device->fd == -1)
        diagnose("Warning: unable to open i2c device `%s'\n", device->path);
}

void open_sensor_devices(sensor_device *fan, sensor_device *temperature)
{
    open_sensor_device(fan);
    open_sensor_device(temperature);
}

const char *read_i2c_device(const sensor_device *device)
{
    if (lseek(device->fd, 0, SEEK_SET) == -1) {
        diagnose("Warning: unable to lseek i2c device `%s'\n", device->path);
        return nullptr;
    }
    ssize_t length = read(device->fd, i2cbuf, sizeof i2cbuf - 1);
    if (length == -1) {
        diagnose("Warning: unable to read from i2c device `%s'\n", device->path);
        return nullptr;
    }
    // Nothing of an earlier, longer text may survive behind this one.
    i2cbuf[length] = '\0';
    return i2cbuf;
}

// The numbers are scanned with strtoll and strtof, which take the same
// text as scanf's %d and %f but say where they stopped and never overflow.

static bool scan_integer(const char **text, long long *value)
{
    char *end;
    *value = strtoll(*text, &end, 10);
    if (end == *text)
        return false;
    *text = end;
    return true;
}

static bool scan_float(const char **text, float *value)
{
    char *end;
    *value = strtof(*text, &end);
    if (end == *text)
        return false;
    *text = end;
    return true;
}

// "min input": the second integer.
bool parse_fan_text(const char *text, int32_t *sample_value)
{
    long long skipped;
    long long input;
    if (!scan_integer(&text, &skipped) || !scan_integer(&text, &input))
        return false;
    if (input < INT32_MIN || input > INT32_MAX)
        return false;
    *sample_value = static_cast<int32_t>(input);
    return true;
}

// "max hyst input": the third number, scaled as the panel expects it.
bool parse_temperature_text(const char *text, int32_t *sample_value)
{
    float skipped;
    float input;
    if (!scan_float(&text, &skipped) || !scan_float(&text, &skipped) || !scan_float(&text, &input))
        return false;
    if (!isfinite(input))
        return false;
    double scaled = static_cast<double>(input) * TEMPERATURE_FACTOR / TEMPERATURE_DIVISOR + TEMPERATURE_BASE +
                    TEMPERATURE_OFFSET;
    // Truncated, it must fit 32 bits: signed below zero, unsigned above.
    // Not the simpler comparison: this one refuses a NaN too.
    if (!(scaled > -2147483649.0 && scaled < 4294967296.0))  // NOLINT(readability-simplify-boolean-expr)
        return false;
    *sample_value = static_cast<int32_t>(static_cast<uint32_t>(static_cast<long long>(scaled)));
    return true;
}

int sample_sensor_channel(channel which, const sensor_device *device, int32_t *sample_value)
{
    if (which != CHANNEL_FAN && which != CHANNEL_TEMPERATURE)
        abort();  // no system reading comes from a sensor file
    const char *text = read_i2c_device(device);
    if (text == nullptr)
        return -1;
    bool fan = which == CHANNEL_FAN;
    if (!(fan ? parse_fan_text(text, sample_value) : parse_temperature_text(text, sample_value))) {
        diagnose("Warning: garbage from i2c device `%s'\n", device->path);
        return -1;
    }
    return 0;
}
