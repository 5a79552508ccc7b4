// SPDX-License-Identifier: MIT
// The record stream, for the daemon that writes it and whoever decodes it:
// three bytes a reading, the channel (plus the base address) and the value,
// big-endian.
#ifndef STATPIPE_RECORD_FORMAT_H
#define STATPIPE_RECORD_FORMAT_H

// The rotation, in its order; a channel's number is its first byte.
enum channel : unsigned {
    CHANNEL_LOAD = 0,
    CHANNEL_PROCESSES = 1,
    CHANNEL_MEMORY = 2,
    CHANNEL_FAN = 3,
    CHANNEL_TEMPERATURE = 4,
};
const unsigned CHANNEL_COUNT = 5;

// Each channel's name and unit, as the decoder shows them.
struct channel_description {
    const char *name;
    const char *unit;
};
const channel_description CHANNELS[CHANNEL_COUNT] = {
    {"load", "load"}, {"processes", "count"}, {"memory", "%"}, {"fan", "rpm"}, {"temperature", "C"},
};

// A temperature t in degrees is sent as t * FACTOR / DIVISOR + BASE + OFFSET,
// truncated, in double precision and with the two additions apart.
const double TEMPERATURE_FACTOR = 300.0;
const double TEMPERATURE_DIVISOR = 43.0;
const double TEMPERATURE_BASE = 250.0;
const double TEMPERATURE_OFFSET = 160.0;

#endif
