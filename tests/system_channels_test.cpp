// SPDX-License-Identifier: MIT
// Channels 0 to 2 from crafted snapshots, including 64-bit fields.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include "statpipe.h"

static system_snapshot snapshot_of(unsigned long load, unsigned short procs, unsigned long total,
                                   unsigned long free_ram)
{
    system_snapshot s;
    memset(&s, 0, sizeof s);
    s.loads[0] = load;
    s.loads[1] = 7;  // only the 1-minute average counts
    s.procs = procs;
    s.totalram = total;
    s.freeram = free_ram;
    return s;
}

TEST(SystemChannels, LoadSaturatesAndNeverWraps)
{
    const struct {
        unsigned long load;
        int32_t expected;
    } cases[] = {
        {0, 0},         {16384, 16384},  {32768, 32768},       {65535, 65535},
        {65536, 65535}, {300000, 65535}, {65536UL + 5, 65535}, {~0UL, 65535},
    };
    for (const auto &c : cases) {
        system_snapshot s = snapshot_of(c.load, 0, 1, 1);
        EXPECT_EQ(sample_system_channel(CHANNEL_LOAD, &s), c.expected) << c.load;
    }
}

TEST(SystemChannels, ProcessesWidenedWithoutSign)
{
    for (int procs : {0, 300, 32768, 65535}) {
        system_snapshot s = snapshot_of(0, static_cast<unsigned short>(procs), 1, 1);
        EXPECT_EQ(sample_system_channel(CHANNEL_PROCESSES, &s), procs);
    }
}

TEST(SystemChannels, MemoryInUseScaledAndClamped)
{
    // Kept as 64-bit numbers; rows wider than this target's fields are left out.
    const unsigned long long mib = 1024ULL * 1024;
    const unsigned long long gib = 1024 * mib;
    const struct {
        unsigned long long total, free_ram;
        int32_t expected;
    } cases[] = {
        {64 * mib, 64 * mib, 0},
        {64 * mib, 0, 65535},
        {64 * mib, 16 * mib, 49151},
        {64 * mib, 10 * mib, 55295},
        {3, 1, 43689},                 // in double: 43690
        {268435456, 60310432, 50811},  // in double: 50810
        {24 * gib, 6 * gib, 49151},    // wider than 32 bits
        {24 * gib, 24 * gib - 1, 0},   // rounds to all free
        {1ULL << 40, 1ULL << 38, 49151},
        {ULONG_MAX, 0, 65535},
        {ULONG_MAX, ULONG_MAX / 4, 49151},
        {0x10000000, 0xF0000000, 0},  // a 32-bit guest on a big host
        {64 * mib, 128 * mib, 0},     // free above total
        {0, 0, 0},                    // total 0: no division, nothing in use
        {0, 5, 0},                    // total 0, whatever is free
    };
    for (const auto &c : cases) {
        if (c.total > ULONG_MAX || c.free_ram > ULONG_MAX)
            continue;
        system_snapshot s =
            snapshot_of(0, 0, static_cast<unsigned long>(c.total), static_cast<unsigned long>(c.free_ram));
        EXPECT_EQ(sample_system_channel(CHANNEL_MEMORY, &s), c.expected)
            << "total " << c.total << " free " << c.free_ram;
    }
}

TEST(SystemChannels, ASensorChannelIsAFaultInTheCaller)
{
    system_snapshot s = snapshot_of(0, 0, 1, 1);
    for (channel which : {CHANNEL_FAN, CHANNEL_TEMPERATURE})
        EXPECT_DEATH(sample_system_channel(which, &s), "") << which;
}
