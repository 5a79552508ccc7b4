// SPDX-License-Identifier: MIT
// The base address operand, read as atoi reads it.
#include <stdint.h>
#include <stdlib.h>

#include "base_address.h"

// atoi's syntax without its undefined overflow. The number saturates at
// the range of the 32-bit base address, not of long, so that the same
// command line gives the same channel byte on every target.
uint8_t parse_base_address(const char *text)
{
    long number = strtol(text, nullptr, 10);
    if (number > INT32_MAX)
        number = INT32_MAX;
    else if (number < INT32_MIN)
        number = INT32_MIN;
    return static_cast<uint8_t>(static_cast<unsigned long>(number) & 0xFFu);
}
