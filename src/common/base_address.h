// SPDX-License-Identifier: MIT
// The base address that the daemon adds to every channel byte, and that
// the decoder takes off again.
#ifndef STATPIPE_BASE_ADDRESS_H
#define STATPIPE_BASE_ADDRESS_H

#include <stdint.h>

uint8_t parse_base_address(const char *text);

#endif
