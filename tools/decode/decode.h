// SPDX-License-Identifier: MIT
// Turning the daemon's three-byte records back into readings.
#ifndef STATPIPE_DECODE_H
#define STATPIPE_DECODE_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

enum decode_format { FORMAT_TEXT, FORMAT_CSV, FORMAT_JSONL };

struct decoded_record {
    unsigned channel;  // after the base is taken off
    const char *name;  // "unknown" past the five channels
    unsigned raw;      // the 16-bit big-endian value
    double value;      // in the unit below; the raw value where there is none
    const char *unit;  // nullptr for an unknown channel
    int decimals;      // to print value with
    bool saturated;    // a load of 1.0 or more
};

struct output_style {
    decode_format format;
    bool time_stamps;  // each line begins with the time its record arrived
    bool utf8;         // the text may hold a degree sign
};

// A temperature is the middle of the range of degrees that its truncated
// record stands for: 727 is 45.44 to 45.58, and reads 45.5.
decoded_record decode_record(const uint8_t bytes[3], uint8_t base);
// One line, ending in a newline, for a record that arrived at the given
// time. Gives its length, or -1 if it does not fit.
int format_record(char *line, size_t size, const output_style &style, const decoded_record &record,
                  const struct timespec &at);
const char *csv_header(const output_style &style);

#endif
