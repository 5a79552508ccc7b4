// SPDX-License-Identifier: MIT
#include "keeper.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <linux/capability.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "command_line.h"

enum : char { ASK_MOUNT = 'm', ASK_START = 's' };

struct request {
    char what;
    char base[64];
    char directory[64];
};

// value: a pid, or 0 for a mount made; -1 with why on failure.
struct reply {
    long value;
    char why[224];
};

// The keeper's own: what it was started with, and the newest mount's
// namespaces (-1: none, or ours).
static struct {
    int socket;
    char **argv;
    const struct passwd *user;
    sigset_t unblocked;
    struct sigaction broken_pipe;  // SIGPIPE as we were started, for the command
    pid_t server;
    int mount_ns;
    int user_ns;
} kept;

static void close_if_open(int *fd)
{
    if (*fd != -1)
        (void)close(*fd);
    *fd = -1;
}

static bool send_message(int socket, const void *data, size_t size, const int *fds, int count)
{
    struct iovec part = {const_cast<void *>(data), size};
    union {
        char buffer[CMSG_SPACE(3 * sizeof(int))];
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

// Up to count descriptors come with it, the rest -1; any beyond are closed.
static bool receive_message(int socket, void *data, size_t size, int *fds, int count)
{
    for (int i = 0; i < count; i++)
        fds[i] = -1;
    struct iovec part = {data, size};
    union {
        char buffer[CMSG_SPACE(4 * sizeof(int))];
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
    int taken = 0;
    for (struct cmsghdr *header = CMSG_FIRSTHDR(&message); received > 0 && header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        size_t carried = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < carried; i++) {
            int fd;
            memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            if (taken < count)
                fds[taken++] = fd;
            else
                (void)close(fd);
        }
    }
    if (received == static_cast<ssize_t>(size))
        return true;
    for (int i = 0; i < count; i++)
        close_if_open(&fds[i]);
    return false;
}

static bool write_text(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    size_t length = strlen(text);
    bool written = fd != -1 && write(fd, text, length) == static_cast<ssize_t>(length);
    if (fd != -1)
        (void)close(fd);
    return written;
}

// A user namespace in which we keep our own ids, with a mount namespace.
static bool enter_user_namespace()
{
    unsigned uid = geteuid();
    unsigned gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) == -1)
        return false;
    // After a change of user, /proc/self's files are root's until the
    // process is made dumpable again: for the maps, and no longer. A
    // dumpable flag of 2 (fs.suid_dumpable) cannot be set back, and means
    // not dumpable to us: 0.
    int dumpable = prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
    if (prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) == -1)
        return false;
    char map[64];
    (void)snprintf(map, sizeof map, "%u %u 1", uid, uid);
    bool mapped = write_text("/proc/self/setgroups", "deny") && write_text("/proc/self/uid_map", map);
    (void)snprintf(map, sizeof map, "%u %u 1", gid, gid);
    mapped = mapped && write_text("/proc/self/gid_map", map);
    int error = errno;
    bool restored = prctl(PR_SET_DUMPABLE, dumpable == 1 ? 1 : 0, 0, 0, 0) == 0;
    if (!mapped)
        errno = error;
    return mapped && restored;
}

// In a child of the keeper: the namespaces and the mounts, then /dev/fuse's
// descriptor and the namespaces' back to the keeper. Whatever fails, what
// it made goes with it.
[[noreturn]] static void make_mount(int to_keeper, const struct request *asked)
{
    struct reply answer = {-1, ""};
    if (access("/dev/fuse", R_OK | W_OK) == -1) {
        int error = errno;
        (void)snprintf(answer.why, sizeof answer.why, "/dev/fuse: %s%s", strerror(error),
                       error == ENOENT ? " (a kernel without FUSE?)"
                                       : " (make it mode 0666, as udev's rule for it does, or start "
                                         "statpipe-hwmon as root, as the drop-in's root variant does)");
        (void)send_message(to_keeper, &answer, sizeof answer, nullptr, 0);
        _exit(1);
    }
    const char *step = nullptr;
    const char *mend = "";
    bool own_users = false;
    int fuse = -1;
    // Root gets a mount namespace alone; anyone else a user namespace too.
    if (unshare(CLONE_NEWNS) == -1 && (errno != EPERM || !(own_users = enter_user_namespace()))) {
        step = "no private mount namespace";
        if (errno == ENOSPC)
            mend = " (user.max_user_namespaces is reached: raise it, or start statpipe-hwmon as root)";
        else if (geteuid() == 0)  // root without capabilities may not map itself
            mend = " (start statpipe-hwmon with --user, or as root)";
        else
            mend = " (run as root, or allow user namespaces)";
    } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1) {
        // Nothing of ours reaches the host, and nothing of its shows here.
        step = "cannot make the mounts private";
    } else if (mount("statpipe-hwmon", asked->base, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                     "mode=0755,size=16k") == -1) {
        step = "cannot mount a tmpfs on /proc/sys/dev";
    } else if (mkdir(asked->directory, 0755) == -1) {
        step = "cannot make the mount point";
    } else if ((fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC)) == -1) {
        step = "cannot open /dev/fuse";
    } else {
        char options[160];
        (void)snprintf(options, sizeof options,
                       "fd=%d,rootmode=40000,user_id=%u,group_id=%u,allow_other,default_permissions", fuse,
                       geteuid(), getegid());
        if (mount("statpipe-hwmon", asked->directory, "fuse", MS_NOSUID | MS_NODEV | MS_RDONLY, options) ==
            -1)
            step = "cannot mount them";
    }
    if (step != nullptr) {
        (void)snprintf(answer.why, sizeof answer.why, "%s: %s%s", step, strerror(errno), mend);
        (void)send_message(to_keeper, &answer, sizeof answer, nullptr, 0);
        _exit(1);
    }
    const int fds[3] = {fuse, open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC),
                        own_users ? open("/proc/self/ns/user", O_RDONLY | O_CLOEXEC) : -1};
    answer.value = 0;
    if (fds[1] == -1 || (own_users && fds[2] == -1)) {
        answer.value = -1;
        (void)snprintf(answer.why, sizeof answer.why, "cannot hold its namespace: %s", strerror(errno));
    }
    (void)send_message(to_keeper, &answer, sizeof answer, fds, answer.value == 0 ? (own_users ? 3 : 2) : 0);
    _exit(0);
}

static void mount_beside(const struct request *asked)
{
    // The last mount's namespaces are ours no longer: they go with the
    // command that uses them. Without a new one, the command runs here.
    close_if_open(&kept.mount_ns);
    close_if_open(&kept.user_ns);
    struct reply answer = {-1, ""};
    int fds[3] = {-1, -1, -1};
    int pair[2];
    pid_t maker = -1;
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == -1 || (maker = fork()) == -1) {
        (void)snprintf(answer.why, sizeof answer.why, "cannot make a mount: %s", strerror(errno));
    } else if (maker == 0) {
        (void)close(pair[0]);
        make_mount(pair[1], asked);
    } else {
        (void)close(pair[1]);
        if (!receive_message(pair[0], &answer, sizeof answer, fds, 3))
            (void)snprintf(answer.why, sizeof answer.why, "the mount's maker ended without a word");
        (void)close(pair[0]);
        (void)waitpid(maker, nullptr, 0);
    }
    if (answer.value == 0) {
        kept.mount_ns = fds[1];
        kept.user_ns = fds[2];
    }
    (void)send_message(kept.socket, &answer, sizeof answer, fds, answer.value == 0 ? 1 : 0);
    close_if_open(&fds[0]);  // the server has its own now
}

// In the command: once it is the server's child (the hand-over below), the
// server's end is its end too.
[[noreturn]] static void run_command(pid_t handed_by)
{
    // The hand-over ends its parent at once, however slow the machine.
    while (getppid() == handed_by) {
        struct timespec moment = {0, 1000000};
        (void)nanosleep(&moment, nullptr);
    }
    // After the change of user, which clears the signal.
    give_up_privileges(kept.user);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != kept.server) {
        say("not running %s: statpipe-hwmon has ended\n", kept.argv[0]);
        _exit(1);
    }
    (void)sigaction(SIGPIPE, &kept.broken_pipe, nullptr);
    (void)sigprocmask(SIG_SETMASK, &kept.unblocked, nullptr);
    execvp(kept.argv[0], kept.argv);
    say("cannot run %s: %s\n", kept.argv[0], strerror(errno));
    _exit(127);
}

// In a child of the keeper: into the newest mount's namespaces, then the
// command forked and handed to the server, whose subreaper it becomes as
// this child ends. Its pid goes to the server.
[[noreturn]] static void start_beside()
{
    struct reply answer = {-1, ""};
    char directory[PATH_MAX];
    bool here = getcwd(directory, sizeof directory) != nullptr;
    if ((kept.user_ns != -1 && setns(kept.user_ns, CLONE_NEWUSER) == -1) ||
        (kept.mount_ns != -1 && setns(kept.mount_ns, CLONE_NEWNS) == -1)) {
        (void)snprintf(answer.why, sizeof answer.why, "cannot start %s in the files' namespace: %s",
                       kept.argv[0], strerror(errno));
    } else {
        // Entering a mount namespace leaves us at its root; the same
        // directory is there, as the namespace is a copy of ours.
        if (here && chdir(directory) == -1)
            say("%s starts in /: %s is not there\n", kept.argv[0], directory);
        pid_t self = getpid();
        answer.value = fork();
        if (answer.value == 0)
            run_command(self);
        if (answer.value == -1)
            (void)snprintf(answer.why, sizeof answer.why, "cannot start %s: %s", kept.argv[0],
                           strerror(errno));
    }
    (void)send_message(kept.socket, &answer, sizeof answer, nullptr, 0);
    _exit(0);
}

// Root's keeper keeps only what mounting and starting the command as its
// user take: a mount namespace and mounts, entering it, the user's ids,
// and the bounding set dropped for the command.
static void keep_only_what_mounting_needs()
{
    if (geteuid() != 0)
        return;
    const unsigned long long wanted = 1ULL << CAP_SYS_ADMIN | 1ULL << CAP_SYS_CHROOT | 1ULL << CAP_SETUID |
                                      1ULL << CAP_SETGID | 1ULL << CAP_SETPCAP;
    for (unsigned long capability = 0; prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0; capability++) {
        if ((wanted >> capability & 1) == 0)
            (void)prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    }
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, sets) == -1)
        return;
    for (unsigned word = 0; word < _LINUX_CAPABILITY_U32S_3; word++) {
        auto part = static_cast<unsigned>(wanted >> (32 * word));
        sets[word].permitted &= part;
        sets[word].effective &= part;
        sets[word].inheritable = 0;
    }
    (void)syscall(SYS_capset, &header, sets);
}

[[noreturn]] static void keep()
{
    // The server's stop reaches the command through the server; the
    // keeper ends with the server.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    (void)sigprocmask(SIG_BLOCK, &stops, nullptr);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != kept.server)
        _exit(1);
    keep_only_what_mounting_needs();
    for (;;) {
        struct request asked;
        ssize_t received = recv(kept.socket, &asked, sizeof asked, 0);
        if (received == -1 && errno == EINTR)
            continue;
        if (received != sizeof asked)
            _exit(0);  // the server is gone
        asked.base[sizeof asked.base - 1] = asked.directory[sizeof asked.directory - 1] = '\0';
        if (asked.what == ASK_MOUNT) {
            mount_beside(&asked);
            continue;
        }
        pid_t starter = fork();
        if (starter == 0)
            start_beside();
        if (starter == -1) {
            struct reply answer = {-1, ""};
            (void)snprintf(answer.why, sizeof answer.why, "cannot start %s: %s", kept.argv[0],
                           strerror(errno));
            (void)send_message(kept.socket, &answer, sizeof answer, nullptr, 0);
        } else {
            (void)waitpid(starter, nullptr, 0);
        }
    }
}

void start_keeper(struct keeper *keeper, char **argv, const struct passwd *user, const sigset_t *unblocked)
{
    // A logger that goes must not take us along: its pipe's end is said
    // by write's error instead.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    (void)sigaction(SIGPIPE, &ignore, &kept.broken_pipe);
    kept.argv = argv;
    kept.user = user;
    kept.unblocked = *unblocked;
    kept.server = getpid();
    kept.mount_ns = kept.user_ns = -1;
    int pair[2];
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == -1 ||
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == -1 || (keeper->pid = fork()) == -1)
        fail(1, "cannot start %s: %s\n", argv[0], strerror(errno));
    if (keeper->pid == 0) {
        (void)close(pair[0]);
        kept.socket = pair[1];
        keep();
    }
    (void)close(pair[1]);
    keeper->socket = pair[0];
}

// A request, and its reply with up to one descriptor; false if the keeper
// is gone.
static bool ask(struct keeper *keeper, const struct request *asked, struct reply *answer, int *fd)
{
    *fd = -1;
    if (keeper->socket != -1 && send_message(keeper->socket, asked, sizeof *asked, nullptr, 0) &&
        receive_message(keeper->socket, answer, sizeof *answer, fd, 1))
        return true;
    close_if_open(&keeper->socket);
    *answer = {-1, "statpipe-hwmon's keeper has ended"};
    return false;
}

int keeper_mount(struct keeper *keeper, const char *base, const char *directory, char *why, size_t size)
{
    struct request asked = {ASK_MOUNT, "", ""};
    (void)snprintf(asked.base, sizeof asked.base, "%s", base);
    (void)snprintf(asked.directory, sizeof asked.directory, "%s", directory);
    struct reply answer;
    int fuse = -1;
    (void)ask(keeper, &asked, &answer, &fuse);
    if (answer.value != 0 || fuse == -1) {
        close_if_open(&fuse);
        (void)snprintf(why, size, "%s", answer.why);
    }
    return fuse;
}

pid_t keeper_start(struct keeper *keeper)
{
    struct request asked = {ASK_START, "", ""};
    struct reply answer;
    int none = -1;
    (void)ask(keeper, &asked, &answer, &none);
    close_if_open(&none);
    if (answer.value <= 0) {
        say("%s\n", answer.why);
        return -1;
    }
    return static_cast<pid_t>(answer.value);
}

void stop_keeper(struct keeper *keeper)
{
    // The end of its socket ends it.
    close_if_open(&keeper->socket);
    if (keeper->pid != -1)
        (void)waitpid(keeper->pid, nullptr, 0);
    keeper->pid = -1;
}

void give_up_privileges(const struct passwd *user)
{
    // The bounding set first, while CAP_SETPCAP may still be ours; where it
    // is not, what is left of the set stays.
    for (unsigned long capability = 0; prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0; capability++)
        (void)prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    if (user != nullptr && geteuid() != user->pw_uid &&
        (initgroups(user->pw_name, user->pw_gid) == -1 || setgid(user->pw_gid) == -1 ||
         setuid(user->pw_uid) == -1)) {
        fail(126, "cannot become %s: %s\n", user->pw_name, strerror(errno));
    }
    // None left, whoever we are now, and none that an exec could give.
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capset, &header, none) == -1 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1)
        fail(1, "cannot give up privileges: %s\n", strerror(errno));
}
