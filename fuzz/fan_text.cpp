// SPDX-License-Identifier: MIT
// The fan text parser against the scanner written out by hand: it must
// take the second integer exactly when there is one that fits 32 bits.
#include "fuzz.h"
#include "statpipe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char text[128];
    copy_text(text, sizeof text, data, size);

    int32_t value = 0;
    bool ok = parse_fan_text(text, &value);

    const char *p = text;
    scanned_integer skipped = scan_decimal(&p);
    scanned_integer input = skipped.found ? scan_decimal(&p) : skipped;
    bool fits = input.negative ? input.magnitude <= 0x80000000u : input.magnitude <= 0x7FFFFFFFu;
    require(ok == (input.found && fits), "accepted exactly the texts with a second integer in range", text);
    if (ok) {
        int64_t expected =
            input.negative ? -static_cast<int64_t>(input.magnitude) : static_cast<int64_t>(input.magnitude);
        require(value == expected, "the value is the second integer", text);
    }
    return 0;
}
