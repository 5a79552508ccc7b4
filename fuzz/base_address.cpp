// SPDX-License-Identifier: MIT
// The base address conversion against the scanner written out by hand:
// the low 8 bits of the number, saturated at the range of a 32-bit
// integer; 0 where there is no number.
#include <stdint.h>

#include "fuzz.h"
#include "statpipe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char text[4096];
    copy_text(text, sizeof text, data, size);

    uint8_t got = parse_base_address(text);

    const char *p = text;
    scanned_integer n = scan_decimal(&p);
    const uint64_t int32_max = static_cast<uint64_t>(INT32_MAX);
    uint8_t expected = 0;
    if (!n.negative)
        expected = n.magnitude > int32_max ? 0xFF : static_cast<uint8_t>(n.magnitude & 0xFF);
    else if (n.magnitude <= int32_max + 1)  // INT32_MIN itself ends in 0x00
        expected = static_cast<uint8_t>((0x100 - (n.magnitude & 0xFF)) & 0xFF);
    require(got == expected, "the low 8 bits of the saturated number", text);
    return 0;
}
