// Start-up helpers that main and the loop share.
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>

#include "statpipe.h"

// atoi's syntax without its undefined overflow: strtol saturates at the
// range of long, and only the low 8 bits reach the channel byte anyway.
uint8_t parse_base_address(const char *text)
{
    return static_cast<uint8_t>(static_cast<unsigned long>(strtol(text, nullptr, 10)) & 0xFFu);
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
