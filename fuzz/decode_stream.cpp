// SPDX-License-Identifier: MIT
// statpipe-decode's decoding of a stream: any bytes, any base, any time,
// any line buffer. Every record decodes to its channel and raw value, and
// every line either fits its buffer whole, newline-ended, or is refused;
// the tool's own 256 bytes always suffice for a sane clock.
#include <time.h>

#include "decode.h"
#include "fuzz.h"

static uint64_t take(const uint8_t *&data, size_t &size, size_t bytes)
{
    uint64_t v = 0;
    for (size_t i = 0; i < bytes && size > 0; i++, size--)
        v = v << 8 | *data++;
    return v;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto base = static_cast<uint8_t>(take(data, size, 1));
    // One byte: the format, and whether lines carry time stamps and a degree sign.
    auto styles = static_cast<unsigned>(take(data, size, 1));
    output_style style = {static_cast<decode_format>(styles % 3), styles / 3 % 2 == 0, styles / 6 % 2 == 0};
    size_t room = static_cast<size_t>(take(data, size, 1)) + 1;  // 1..256
    auto seconds = static_cast<int64_t>(take(data, size, 8));
    struct timespec at;
    at.tv_sec = static_cast<time_t>(seconds);  // wraps where time_t has 32 bits
    at.tv_nsec = static_cast<long>(static_cast<int32_t>(take(data, size, 4)));
    bool sane_clock = seconds >= 0 && seconds < 4102444800 && at.tv_nsec >= 0 && at.tv_nsec < 1000000000;

    for (; size >= 3; data += 3, size -= 3) {
        decoded_record r = decode_record(data, base);
        require(r.channel == static_cast<uint8_t>(data[0] - base),
                "the channel is the first byte less the base", "record");
        require(r.raw == (static_cast<unsigned>(data[1]) << 8 | data[2]), "the raw value is big-endian",
                "record");
        require((r.channel < 5) == (r.unit != nullptr), "a unit for exactly the five channels", "record");

        // Exactly the room given, on the heap, so that one byte too many is caught.
        char *line = new char[room];
        int n = format_record(line, room, style, r, at);
        if (n >= 0) {
            require(n > 0 && static_cast<size_t>(n) < room, "the line fits", "record");
            require(strlen(line) == static_cast<size_t>(n), "the length is the string's", line);
            require(line[n - 1] == '\n' && memchr(line, '\n', static_cast<size_t>(n) - 1) == nullptr,
                    "one line", line);
        }
        delete[] line;
        if (room == 256 && sane_clock) {
            char full[256];
            require(format_record(full, sizeof full, style, r, at) > 0, "the tool's line buffer suffices",
                    "record");
        }
    }
    return 0;
}
