// SPDX-License-Identifier: MIT
#include "messages.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

bool send_message(int socket, const void *data, size_t size, const int *fds, int count)
{
    struct iovec part = {const_cast<void *>(data), size};
    union {
        char buffer[CMSG_SPACE(MOST_DESCRIPTORS * sizeof(int))];
        struct cmsghdr align;
    } control = {};
    struct msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (count > 0) {
        size_t length = static_cast<size_t>(count) * sizeof(int);
        message.msg_control = control.buffer;
        message.msg_controllen = CMSG_SPACE(length);
        struct cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(length);
        memcpy(CMSG_DATA(header), fds, length);
    }
    ssize_t sent;
    do
        sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    while (sent == -1 && errno == EINTR);
    return sent == static_cast<ssize_t>(size);
}

bool receive_message(int socket, void *data, size_t size, int *fds, int count)
{
    for (int i = 0; i < count; i++)
        fds[i] = -1;
    struct iovec part = {data, size};
    union {
        char buffer[CMSG_SPACE((MOST_DESCRIPTORS + 1) * sizeof(int))];  // one more is seen
        struct cmsghdr align;
    } control = {};
    struct msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.buffer;
    message.msg_controllen = sizeof control.buffer;
    ssize_t received;
    do
        received = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    while (received == -1 && errno == EINTR);
    bool whole =
        received == static_cast<ssize_t>(size) && (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0;
    int taken = 0;
    for (struct cmsghdr *header = CMSG_FIRSTHDR(&message); received >= 0 && header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        size_t carried = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < carried; i++) {
            int fd;
            memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            if (taken < count) {
                fds[taken++] = fd;
            } else {
                (void)close(fd);
                whole = false;
            }
        }
    }
    if (whole)
        return true;
    for (int i = 0; i < count; i++) {
        if (fds[i] != -1)
            (void)close(fds[i]);
        fds[i] = -1;
    }
    return false;
}
