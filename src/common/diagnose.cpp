// SPDX-License-Identifier: MIT
// Every message of the daemon and its tools goes out through here.
#include <string.h>
#include <sys/uio.h>

#include "diagnose.h"

// One line, one system call: lines from concurrent writers never
// interleave, and no buffer is formatted that a long path could overflow.
// The message is cut at each "%s" and the texts go between the pieces.
void diagnose(const char *message, const char *first, const char *second, const char *program)
{
    const char *texts[] = {first, second};
    struct iovec parts[7];
    int count = 0;
    if (program != nullptr) {
        parts[count++] = {const_cast<char *>(program), strlen(program)};
        parts[count++] = {const_cast<char *>(": "), 2};
    }
    const char *rest = message;
    for (const char *text : texts) {
        const char *placeholder = strstr(rest, "%s");
        if (placeholder == nullptr)
            break;
        text = text != nullptr ? text : "";
        parts[count++] = {const_cast<char *>(rest), static_cast<size_t>(placeholder - rest)};
        parts[count++] = {const_cast<char *>(text), strlen(text)};
        rest = placeholder + 2;
    }
    parts[count++] = {const_cast<char *>(rest), strlen(rest)};
    ssize_t written = writev(2, parts, count);
    (void)written;  // a message that cannot be written has nowhere to go
}
