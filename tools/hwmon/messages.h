// SPDX-License-Identifier: MIT
// A message and the descriptors that go with it, over a SOCK_SEQPACKET
// socket: between the server and its keeper, and the keeper and its
// children.
#ifndef STATPIPE_MESSAGES_H
#define STATPIPE_MESSAGES_H

#include <stddef.h>

// The most descriptors that one message carries.
static const int MOST_DESCRIPTORS = 4;

// data, and count descriptors with it; false unless all of it went.
bool send_message(int socket, const void *data, size_t size, const int *fds, int count);

// A message of exactly size bytes, with up to count descriptors (the rest
// -1, all close-on-exec); false, with none kept, for anything else: a
// shorter or longer one, descriptors cut off, or more of them than asked
// for.
bool receive_message(int socket, void *data, size_t size, int *fds, int count);

#endif
