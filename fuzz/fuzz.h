// SPDX-License-Identifier: MIT
// What the fuzz targets share: the input as sensor text, a property check
// that stops the run, and a decimal scanner written out by hand, as the
// reference that the parsers must agree with.
#ifndef STATPIPE_FUZZ_H
#define STATPIPE_FUZZ_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The input up to its first zero byte and at most size - 1 bytes, as a
// string: what a read into the daemon's buffer can hold.
inline void copy_text(char *text, size_t size, const uint8_t *data, size_t length)
{
    size_t n = length < size - 1 ? length : size - 1;
    if (n > 0)  // an empty input may come as a null pointer, which memcpy must not see
        memcpy(text, data, n);
    text[n] = '\0';
}

// A property that does not hold is a finding, as a crash is.
inline void require(bool holds, const char *what, const char *text)
{
    if (holds)
        return;
    (void)fprintf(stderr, "property broken: %s, on \"%s\"\n", what, text);  // best effort: abort follows
    abort();
}

// scanf's %d: white space, a sign, then at least one decimal digit. The
// magnitude saturates at UINT64_MAX, far beyond anything that fits.
struct scanned_integer {
    bool found;
    bool negative;
    uint64_t magnitude;
};

inline scanned_integer scan_decimal(const char **text)
{
    scanned_integer r = {false, false, 0};
    const char *p = *text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    r.negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    for (; *p >= '0' && *p <= '9'; p++) {
        auto digit = static_cast<uint64_t>(*p - '0');
        r.found = true;
        r.magnitude = r.magnitude > (UINT64_MAX - digit) / 10 ? UINT64_MAX : r.magnitude * 10 + digit;
    }
    if (r.found)
        *text = p;
    return r;
}

#endif
