// SPDX-License-Identifier: MIT
#include "decode.h"

#include <stdio.h>

#include "record_format.h"

// As the text shows each channel's value after its number.
static const char *const TEXT_UNITS[CHANNEL_COUNT] = {"", " processes", " %", " rpm", " °C"};
static const char ASCII_DEGREES[] = " C";

decoded_record decode_record(const uint8_t bytes[3], uint8_t base)
{
    decoded_record r;
    r.channel = static_cast<uint8_t>(bytes[0] - base);
    r.raw = static_cast<unsigned>(bytes[1]) << 8 | bytes[2];
    int16_t as_signed = static_cast<int16_t>(r.raw);
    r.saturated = false;
    r.decimals = 0;
    bool known = r.channel < CHANNEL_COUNT;
    r.name = known ? CHANNELS[r.channel].name : "unknown";
    r.unit = known ? CHANNELS[r.channel].unit : nullptr;
    switch (r.channel) {
    case CHANNEL_LOAD:
        r.saturated = r.raw == 65535;
        r.value = r.saturated ? 1.0 : r.raw / 65536.0;
        r.decimals = 2;
        break;
    case CHANNEL_MEMORY:
        r.value = r.raw / 65535.0 * 100.0;
        r.decimals = 1;
        break;
    case CHANNEL_FAN:
        r.value = as_signed;
        break;
    case CHANNEL_TEMPERATURE: {
        // The daemon truncates toward zero: v stands for v to v + 1 above
        // zero, v - 1 to v below, and 0 for -1 to 1.
        double middle = as_signed + (as_signed > 0 ? 0.5 : as_signed < 0 ? -0.5 : 0.0);
        r.value = (middle - TEMPERATURE_BASE - TEMPERATURE_OFFSET) * TEMPERATURE_DIVISOR / TEMPERATURE_FACTOR;
        r.decimals = 1;
        break;
    }
    default:  // processes, and any channel we do not know
        r.value = r.raw;
        break;
    }
    return r;
}

const char *csv_header(const output_style &style)
{
    return style.time_stamps ? "time,channel,name,raw,value,unit\n" : "channel,name,raw,value,unit\n";
}

static bool time_stamp(char *out, size_t size, const struct timespec &at, bool utc)
{
    struct tm parts;
    if ((utc ? gmtime_r(&at.tv_sec, &parts) : localtime_r(&at.tv_sec, &parts)) == nullptr)
        return false;
    char seconds[32];
    if (strftime(seconds, sizeof seconds, utc ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &parts) == 0)
        return false;
    int n = snprintf(out, size, "%s.%03ld%s", seconds, at.tv_nsec / 1000000, utc ? "Z" : "");
    return n > 0 && static_cast<size_t>(n) < size;
}

int format_record(char *line, size_t size, const output_style &style, const decoded_record &r,
                  const struct timespec &at)
{
    // The time stamp with what follows it in this format, or nothing.
    char when[64] = "";
    if (style.time_stamps) {
        char stamp[48];
        if (!time_stamp(stamp, sizeof stamp, at, style.format != FORMAT_TEXT))
            return -1;
        const char *forms[] = {"%s  ", "%s,", "\"time\":\"%s\","};
        (void)snprintf(when, sizeof when, forms[style.format], stamp);
    }
    int n = -1;
    switch (style.format) {
    case FORMAT_TEXT: {
        char number[48];
        const char *value = number;
        if (r.saturated) {
            value = "1.00 or more";
        } else if (r.unit == nullptr) {
            value = "-";
        } else {
            const char *unit =
                r.channel == CHANNEL_TEMPERATURE && !style.utf8 ? ASCII_DEGREES : TEXT_UNITS[r.channel];
            int k = snprintf(number, sizeof number, "%.*f%s", r.decimals, r.value, unit);
            if (k < 0 || static_cast<size_t>(k) >= sizeof number)
                return -1;
        }
        n = snprintf(line, size, "%s%3u %-11s %5u  %s\n", when, r.channel, r.name, r.raw, value);
        break;
    }
    case FORMAT_CSV:
        n = snprintf(line, size, "%s%u,%s,%u,%.*f,%s\n", when, r.channel, r.name, r.raw, r.decimals, r.value,
                     r.unit ? r.unit : "");
        break;
    case FORMAT_JSONL: {
        const char *quote = r.unit ? "\"" : "";
        n = snprintf(
            line, size,
            "{%s\"channel\":%u,\"name\":\"%s\",\"raw\":%u,\"value\":%.*f,"
            "\"unit\":%s%s%s%s}\n",
            when, r.channel, r.name, r.raw, r.decimals, r.value, quote, r.unit ? r.unit : "null", quote,
            r.channel == CHANNEL_LOAD ? (r.saturated ? ",\"saturated\":true" : ",\"saturated\":false") : "");
        break;
    }
    }
    return n > 0 && static_cast<size_t>(n) < size ? n : -1;
}
