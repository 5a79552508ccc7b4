// SPDX-License-Identifier: MIT
// The one message writer of the daemon and its tools.
#ifndef STATPIPE_DIAGNOSE_H
#define STATPIPE_DIAGNOSE_H

// Writes message to standard error in one call, with first and second in
// place of its first and second "%s", and "PROGRAM: " before it where a
// program is given.
void diagnose(const char *message, const char *first = nullptr, const char *second = nullptr,
              const char *program = nullptr);

#endif
