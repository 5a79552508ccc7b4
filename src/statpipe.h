// SPDX-License-Identifier: MIT
// Shared types of the daemon: channels, the sensor device record and the
// entry points of the loop and the two measurement sources.
#ifndef STATPIPE_H
#define STATPIPE_H

#include <stdint.h>
#include <sys/sysinfo.h>

#include "base_address.h"
#include "diagnose.h"
#include "record_format.h"

const unsigned SAMPLE_PERIOD = 2;  // seconds after every record written
const unsigned RETRY_PERIOD = 10;  // seconds after a write that found no reader

struct status_record {
    uint8_t bytes[3];
};

struct sensor_device {
    int fd;  // -1 while not open
    const char *path;
};

// The kernel's own record, so every field keeps its native width.
typedef struct sysinfo system_snapshot;

// Why the sampling loop gave up.
enum loop_end { LOOP_SNAPSHOT_FAILED, LOOP_WRITE_FAILED };

// sampling loop
status_record encode_status_record(channel which, uint8_t base_address, int32_t sample_value);
loop_end run_sampling_loop(int pipe_fd, uint8_t base_address, const sensor_device *fan,
                           const sensor_device *temperature);

// system statistics channels
int take_system_snapshot(system_snapshot *snapshot);
// Channels 0 to 2 only: another ends the process, as a fault in the caller.
int32_t sample_system_channel(channel which, const system_snapshot *snapshot);

// hardware sensor channels
extern const char FAN_PATH[];
extern const char TEMPERATURE_PATH[];
void open_sensor_devices(sensor_device *fan, sensor_device *temperature);
const char *read_i2c_device(const sensor_device *device);
// Gives 0 and the reading, or -1 when the channel is to be skipped this time.
// Channels 3 and 4 only: another ends the process, as a fault in the caller.
int sample_sensor_channel(channel which, const sensor_device *device, int32_t *sample_value);
// The two scans on a text; false for garbage.
bool parse_fan_text(const char *text, int32_t *sample_value);
bool parse_temperature_text(const char *text, int32_t *sample_value);

#endif
