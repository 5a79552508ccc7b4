// Start-up helpers that main and the loop share.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>

#include "statpipe.h"

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

// One line, one system call: lines from concurrent writers never interleave
// and nothing is formatted into a buffer that a long path could overflow.
void write_diagnostic(const char *before, const char *path, const char *after)
{
    struct iovec parts[3] = {
        {const_cast<char *>(before), strlen(before)},
        {const_cast<char *>(path), strlen(path)},
        {const_cast<char *>(after), strlen(after)},
    };
    (void)writev(2, parts, 3);
}
