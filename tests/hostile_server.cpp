// SPDX-License-Identifier: MIT
// Preloaded into statpipe-hwmon by its tests: its server misbehaves toward
// the keeper as STATPIPE_HOSTILE says, so that the keeper's refusals are
// seen. The keeper, forked from the server, is left as it is.
//   path   a mount request that carries a mount point, at
//          STATPIPE_HOSTILE_PATH, as requests once did
//   kind   a start asked for with a kind that the keeper does not know
//   twice  each start asked for twice
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static const pid_t SERVER = getpid();

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): glibc names them __fd...
extern "C" ssize_t sendmsg(int socket, const struct msghdr *message, int flags)
{
    using real_sendmsg = ssize_t (*)(int, const struct msghdr *, int);
    static const auto real = reinterpret_cast<real_sendmsg>(dlsym(RTLD_NEXT, "sendmsg"));
    const char *mode = getenv("STATPIPE_HOSTILE");
    if (getpid() != SERVER || mode == nullptr || message->msg_iovlen != 1 || message->msg_iov[0].iov_len != 1)
        return real(socket, message, flags);
    const char kind = *static_cast<const char *>(message->msg_iov[0].iov_base);
    // The request as it was: its kind, a base and a mount point.
    char request[1 + 64 + 64] = {};
    struct iovec part = {request, 1};
    struct msghdr changed = *message;
    changed.msg_iov = &part;
    if (strcmp(mode, "path") == 0 && kind == 'm') {
        request[0] = kind;
        strncpy(request + 1, "/proc/sys/dev", 63);
        const char *path = getenv("STATPIPE_HOSTILE_PATH");
        strncpy(request + 65, path != nullptr ? path : "/", 63);
        part.iov_len = sizeof request;
        return real(socket, &changed, flags) == static_cast<ssize_t>(sizeof request) ? 1 : -1;
    }
    if (strcmp(mode, "kind") == 0 && kind == 's') {
        static char unknown = 'x';
        part.iov_base = &unknown;
        return real(socket, &changed, flags);
    }
    if (strcmp(mode, "twice") == 0 && kind == 's' && real(socket, message, flags) != 1)
        return -1;
    return real(socket, message, flags);
}
