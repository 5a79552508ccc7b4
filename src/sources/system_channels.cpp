// SPDX-License-Identifier: MIT
// Channels 0 to 2, from the kernel's overall statistics.
#include <stdlib.h>

#include "statpipe.h"

int take_system_snapshot(system_snapshot *snapshot)
{
    return sysinfo(snapshot);
}

// Fraction of RAM in use, scaled to 0..65535 in single precision. Odd
// snapshots clamp instead of converting an out-of-range float, and a total
// of 0 gives 0 without the division, both of which would be undefined.
static int32_t memory_in_use(unsigned long totalram, unsigned long freeram)
{
    if (totalram == 0)
        return 0;
    float free_ram = static_cast<float>(static_cast<double>(freeram));
    float total_ram = static_cast<float>(static_cast<double>(totalram));
    float used = 1.0f - free_ram / total_ram;
    float scaled = used * 65535.0f;
    if (!(scaled > 0.0f))
        return 0;
    if (scaled >= 65535.0f)
        return 65535;
    return static_cast<int32_t>(scaled);
}

int32_t sample_system_channel(channel which, const system_snapshot *snapshot)
{
    switch (which) {
    case CHANNEL_LOAD:
        return snapshot->loads[0] > 65535 ? 65535 : static_cast<int32_t>(snapshot->loads[0]);
    case CHANNEL_PROCESSES:
        return snapshot->procs;
    case CHANNEL_MEMORY:
        return memory_in_use(snapshot->totalram, snapshot->freeram);
    case CHANNEL_FAN:
    case CHANNEL_TEMPERATURE:
        break;
    }
    abort();  // no reading of a sensor comes from the kernel's statistics
}
