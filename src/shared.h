// SPDX-License-Identifier: MIT
// What the daemon shares with its tools: the one message writer and the
// base address.
#ifndef STATPIPE_SHARED_H
#define STATPIPE_SHARED_H

#include <stdint.h>

uint8_t parse_base_address(const char *text);
// Writes message to standard error in one call, with first and second in
// place of its first and second "%s", and "PROGRAM: " before it where a
// program is given.
void diagnose(const char *message, const char *first = nullptr, const char *second = nullptr,
              const char *program = nullptr);

#endif
