// SPDX-License-Identifier: MIT
// The temperature text parser: it must never crash, and wherever scanf's
// "%f %f %f" finds three decimal numbers whose third scales into 32 bits,
// it must take that text and give that third number, scaled.
#include <math.h>

#include "fuzz.h"
#include "statpipe.h"

// The texts on which glibc's scanf is a fair reference: decimal numbers
// only, and no exponent without digits. It takes "1e", "1e+" and also
// "0x." as numbers and reads on; strtof, as the C standard's scanf, stops
// before them, and the daemon calls such a text garbage.
static bool plain_decimal(const char *text)
{
    for (const char *p = text; *p; p++) {
        if (strchr("0123456789.+-eE \t\n\v\f\r", *p) == nullptr)
            return false;
        if (*p != 'e' && *p != 'E')
            continue;
        const char *q = p[1] == '+' || p[1] == '-' ? p + 2 : p + 1;
        if (*q < '0' || *q > '9')
            return false;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char text[128];
    copy_text(text, sizeof text, data, size);

    int32_t value = 0;
    bool ok = parse_temperature_text(text, &value);

    float limit = 0;
    float hysteresis = 0;
    float t = 0;
    // NOLINTNEXTLINE(cert-err34-c): scanf is the reference here
    if (!plain_decimal(text) || sscanf(text, "%f %f %f", &limit, &hysteresis, &t) != 3 || !isfinite(t))
        return 0;
    double scaled = static_cast<double>(t) * 300.0 / 43.0 + 250.0 + 160.0;
    double whole = trunc(scaled);
    if (whole < -2147483648.0 || whole > 4294967295.0) {
        require(!ok, "a reading beyond 32 bits is garbage", text);
        return 0;
    }
    require(ok, "three numbers as scanf reads them are taken", text);
    int64_t expected = static_cast<int64_t>(whole);
    require(static_cast<uint32_t>(value) == static_cast<uint32_t>(expected),
            "the third number, scaled and truncated", text);
    return 0;
}
