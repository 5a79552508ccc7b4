// SPDX-License-Identifier: MIT
// The one loop: a rotation over the five channels, one record per reading.
#include <errno.h>
#include <unistd.h>

#include "statpipe.h"

status_record encode_status_record(channel which, uint8_t base_address, int32_t sample_value)
{
    uint32_t value = static_cast<uint32_t>(sample_value);
    status_record record = {{
        static_cast<uint8_t>((which + base_address) & 0xFFu),
        static_cast<uint8_t>((value >> 8) & 0xFFu),
        static_cast<uint8_t>(value & 0xFFu),
    }};
    return record;
}

loop_end run_sampling_loop(int pipe_fd, uint8_t base_address, const sensor_device *fan,
                           const sensor_device *temperature)
{
    channel current = CHANNEL_LOAD;
    bool reader_disconnected = false;

    for (;;) {
        int32_t sample_value = 0;
        bool skip = false;

        if (current <= CHANNEL_MEMORY) {
            system_snapshot snapshot;
            if (take_system_snapshot(&snapshot) == -1)
                return LOOP_SNAPSHOT_FAILED;
            sample_value = sample_system_channel(current, &snapshot);
        } else {
            const sensor_device *device = current == CHANNEL_FAN ? fan : temperature;
            skip = device->fd == -1 || sample_sensor_channel(current, device, &sample_value) == -1;
        }

        if (!skip) {
            status_record record = encode_status_record(current, base_address, sample_value);
            if (write(pipe_fd, record.bytes, sizeof record.bytes) == -1) {
                if (errno != EPIPE)
                    return LOOP_WRITE_FAILED;
                if (!reader_disconnected) {
                    diagnose("Reading end apparently disconnected. Will keep retrying every 10 seconds...\n");
                    reader_disconnected = true;
                }
                sleep(RETRY_PERIOD);
                continue;  // the same channel, sampled afresh
            }
            if (reader_disconnected) {
                diagnose("Reading end reconnected.\n");
                reader_disconnected = false;
            }
            sleep(SAMPLE_PERIOD);
        }
        current = static_cast<channel>((current + 1) % CHANNEL_COUNT);
    }
}
