// SPDX-License-Identifier: MIT
#include "keeper.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "command.h"
#include "command_line.h"
#include "messages.h"
#include "privileges.h"

// A request is one byte, its kind.
enum : char { ASK_MOUNT = 'm', ASK_START = 's' };

static const char MOUNT_BASE[] = "/proc/sys/dev";
static const char SENSORS_DIR[] = "/proc/sys/dev/sensors";
// One mount for each command started; else, while the files cannot be
// served, one a minute, as the server tries them.
static const int MOUNT_AGAIN_SECONDS = 60;
// What root's keeper keeps: a mount namespace and mounts, entering it with
// the command's root, the user's ids, and the bounding set dropped for the
// command.
static const unsigned long long KEPT_CAPABILITIES = 1ULL << CAP_SYS_ADMIN | 1ULL << CAP_SYS_CHROOT |
                                                    1ULL << CAP_SETUID | 1ULL << CAP_SETGID |
                                                    1ULL << CAP_SETPCAP;

// value: a pid, or 0 for a mount made; -1 with why on failure.
struct reply {
    long value;
    char why[224];
};

// What a mount's maker hands back, in this order; a user namespace only
// where it made one.
enum { MADE_FUSE, MADE_MOUNT_NS, MADE_ROOT, MADE_USER_NS, MADE_COUNT };
static_assert(static_cast<int>(MADE_COUNT) <= MOST_DESCRIPTORS, "a message carries them all");

// The keeper's own: what it was started with, fixed at its fork, and the
// newest mount's namespaces and root (-1: none, or ours).
static struct {
    int socket;
    char **argv;
    const struct identity *who;
    sigset_t unblocked;
    struct sigaction broken_pipe;  // SIGPIPE as we were started, for the command
    pid_t server;
    char directory[PATH_MAX];  // the command's working directory; "": its root
    int mount_ns;
    int user_ns;
    int root;
    int command;  // the last command started, as a pidfd; -1: none
    struct timespec mount_again_at;
} kept;

static void close_if_open(int *fd)
{
    if (*fd != -1)
        (void)close(*fd);
    *fd = -1;
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
// descriptor, the namespaces' and the root's back to the keeper. Whatever
// fails, what it made goes with it.
[[noreturn]] static void make_mount(int to_keeper)
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
    } else if (mount("statpipe-hwmon", MOUNT_BASE, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                     "mode=0755,size=16k") == -1) {
        step = "cannot mount a tmpfs on /proc/sys/dev";
    } else if (mkdir(SENSORS_DIR, 0755) == -1) {
        step = "cannot make the mount point";
    } else if ((fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC)) == -1) {
        step = "cannot open /dev/fuse";
    } else {
        char options[160];
        (void)snprintf(options, sizeof options,
                       "fd=%d,rootmode=40000,user_id=%u,group_id=%u,allow_other,default_permissions", fuse,
                       geteuid(), getegid());
        if (mount("statpipe-hwmon", SENSORS_DIR, "fuse", MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_RDONLY,
                  options) == -1)
            step = "cannot mount them";
    }
    if (step != nullptr) {
        (void)snprintf(answer.why, sizeof answer.why, "%s: %s%s", step, strerror(errno), mend);
        (void)send_message(to_keeper, &answer, sizeof answer, nullptr, 0);
        _exit(1);
    }
    // The root as this namespace has it: ours, where we run in a chroot.
    const int fds[MADE_COUNT] = {fuse, open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC),
                                 open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC),
                                 own_users ? open("/proc/self/ns/user", O_RDONLY | O_CLOEXEC) : -1};
    answer.value = 0;
    if (fds[MADE_MOUNT_NS] == -1 || fds[MADE_ROOT] == -1 || (own_users && fds[MADE_USER_NS] == -1)) {
        answer.value = -1;
        (void)snprintf(answer.why, sizeof answer.why, "cannot hold its namespace: %s", strerror(errno));
    }
    (void)send_message(to_keeper, &answer, sizeof answer, fds,
                       answer.value == 0 ? (own_users ? MADE_COUNT : MADE_COUNT - 1) : 0);
    _exit(0);
}

// A child that dies with us (the keeper, or a child of the keeper): gives
// its pid (0 in the child), or -1, and in *socket the end on which it
// speaks or is heard.
static pid_t fork_child(int *socket)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == -1)
        return -1;
    pid_t keeper = getpid();
    pid_t child = fork();
    if (child == -1) {
        (void)close(pair[0]);
        (void)close(pair[1]);
        return -1;
    }
    (void)close(pair[child == 0 ? 0 : 1]);
    *socket = pair[child == 0 ? 1 : 0];
    if (child == 0) {
        close_if_open(&kept.socket);  // the server is the keeper's alone to answer
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != keeper)
            _exit(1);
    }
    return child;
}

// A child's reply, whole, with at least needed descriptors if it is a
// success, and the child reaped; anything else is a failure.
static void hear_child(pid_t child, int socket, struct reply *answer, int *fds, int needed, int count)
{
    bool heard = child != -1 && receive_message(socket, answer, sizeof *answer, fds, count);
    for (int i = 0; heard && answer->value >= 0 && i < needed; i++)
        heard = fds[i] != -1;
    for (int i = 0; (!heard || answer->value < 0) && i < count; i++)
        close_if_open(&fds[i]);
    if (!heard) {
        answer->value = -1;
        (void)snprintf(answer->why, sizeof answer->why, "%s",
                       child == -1 ? strerror(errno) : "a child of the keeper ended without its reply");
    }
    answer->why[sizeof answer->why - 1] = '\0';
    if (child != -1) {
        (void)close(socket);
        (void)waitpid(child, nullptr, 0);
    }
}

// The reply, always sent, with fd if it can go along; the keeper ends if
// the server is gone.
static void answer_server(struct reply *answer, int fd)
{
    if (send_message(kept.socket, answer, sizeof *answer, &fd, fd == -1 ? 0 : 1))
        return;
    *answer = {-1, ""};
    (void)snprintf(answer->why, sizeof answer->why, "cannot hand the mount over: %s", strerror(errno));
    if (fd == -1 || !send_message(kept.socket, answer, sizeof *answer, nullptr, 0))
        _exit(0);
}

static void mount_beside()
{
    struct reply answer = {-1, "no new mount until a command has started on the last"};
    int fds[MADE_COUNT] = {-1, -1, -1, -1};
    if (milliseconds_until(&kept.mount_again_at) > 0) {
        answer_server(&answer, -1);
        return;
    }
    kept.mount_again_at = seconds_from_now(MOUNT_AGAIN_SECONDS);
    int socket;
    pid_t maker = fork_child(&socket);
    if (maker == 0)
        make_mount(socket);
    hear_child(maker, socket, &answer, fds, MADE_USER_NS, MADE_COUNT);
    answer_server(&answer, fds[MADE_FUSE]);
    close_if_open(&fds[MADE_FUSE]);  // the server has its own now
    // The last mount's namespaces are ours no longer: they go with the
    // command that uses them. Without a new one, the command runs here.
    close_if_open(&kept.mount_ns);
    close_if_open(&kept.user_ns);
    close_if_open(&kept.root);
    if (answer.value == 0) {
        kept.mount_ns = fds[MADE_MOUNT_NS];
        kept.user_ns = fds[MADE_USER_NS];
        kept.root = fds[MADE_ROOT];
    } else {
        for (int &fd : fds)
            close_if_open(&fd);
    }
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
    give_up_privileges(kept.who);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != kept.server) {
        say("not running %s: statpipe-hwmon has ended\n", kept.argv[0]);
        _exit(1);
    }
    // Nothing of ours, nor what we were started with, beyond 0 to 2.
    if (syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */) == -1)
        lose(1, "not running %s: cannot close what it must not inherit: %s\n", kept.argv[0]);
    (void)sigaction(SIGPIPE, &kept.broken_pipe, nullptr);
    (void)sigprocmask(SIG_SETMASK, &kept.unblocked, nullptr);
    execvp(kept.argv[0], kept.argv);
    lose(127, "cannot run %s: %s\n", kept.argv[0]);
}

// In a child of the keeper: into the newest mount's namespaces and root,
// then the command forked and handed to the server, whose subreaper it
// becomes as this child ends. Its pid, and a pidfd of it, go to the keeper.
[[noreturn]] static void start_beside(int to_keeper)
{
    struct reply answer = {-1, ""};
    int pidfd = -1;
    // Entering a mount namespace sets our root to its own: ours, where we
    // run in a chroot, is the one its maker handed back.
    if ((kept.user_ns != -1 && setns(kept.user_ns, CLONE_NEWUSER) == -1) ||
        (kept.mount_ns != -1 &&
         (setns(kept.mount_ns, CLONE_NEWNS) == -1 || fchdir(kept.root) == -1 || chroot(".") == -1))) {
        (void)snprintf(answer.why, sizeof answer.why, "cannot start %s in the files' namespace: %s",
                       kept.argv[0], strerror(errno));
    } else {
        // The same directory is there, as the namespace is a copy of ours.
        if (kept.mount_ns != -1 && kept.directory[0] != '\0' && chdir(kept.directory) == -1)
            say("%s starts in /: %s is not there\n", kept.argv[0], kept.directory);
        pid_t self = getpid();
        pid_t command = fork();
        if (command == 0)
            run_command(self);
        // Its own child, not reaped before we end: the pidfd is its.
        if (command != -1 && (pidfd = static_cast<int>(syscall(SYS_pidfd_open, command, 0))) == -1)
            (void)kill(command, SIGKILL);
        if (pidfd != -1)
            answer.value = command;
        else
            (void)snprintf(answer.why, sizeof answer.why, "cannot start %s: %s", kept.argv[0],
                           strerror(errno));
    }
    (void)send_message(to_keeper, &answer, sizeof answer, &pidfd, pidfd == -1 ? 0 : 1);
    _exit(0);
}

// Whether the last command started still runs; where that cannot be told,
// it does.
static bool command_lives()
{
    if (kept.command == -1)
        return false;
    struct pollfd ended = {kept.command, POLLIN, 0};
    return poll(&ended, 1, 0) != 1;
}

static void start_one()
{
    struct reply answer = {-1, ""};
    int pidfd = -1;
    if (command_lives()) {
        (void)snprintf(answer.why, sizeof answer.why, "%s is not started again: it still runs", kept.argv[0]);
    } else {
        int socket;
        pid_t starter = fork_child(&socket);
        if (starter == 0)
            start_beside(socket);
        hear_child(starter, socket, &answer, &pidfd, 1, 1);
    }
    if (answer.value > 0) {
        close_if_open(&kept.command);
        kept.command = pidfd;
        kept.mount_again_at = seconds_from_now(0);
    }
    answer_server(&answer, -1);
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
    // Where we were started, the server's as well: looked up here, so that
    // its page stays the keeper's.
    if (getcwd(kept.directory, sizeof kept.directory) == nullptr)
        kept.directory[0] = '\0';
    if (!keep_only_capabilities(geteuid() == 0 ? KEPT_CAPABILITIES : 0))
        lose(1, "the keeper ends: cannot give up what it does not keep: %s\n");
    for (;;) {
        char asked[2];
        ssize_t received = recv(kept.socket, asked, sizeof asked, 0);
        if (received == -1 && errno == EINTR)
            continue;
        if (received <= 0)
            _exit(0);  // the server is gone
        if (received == 1 && asked[0] == ASK_MOUNT) {
            mount_beside();
        } else if (received == 1 && asked[0] == ASK_START) {
            start_one();
        } else {
            char what[32];
            (void)snprintf(what, sizeof what, received == 1 ? "kind %d" : "more than a byte",
                           static_cast<int>(asked[0]));
            say("the keeper ends: the server sent a request it does not know (%s)\n", what);
            _exit(1);
        }
    }
}

void start_keeper(struct keeper *keeper, char **argv, const struct identity *who, const sigset_t *unblocked)
{
    // A logger that goes must not take us along: its pipe's end is said
    // by write's error instead.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    (void)sigaction(SIGPIPE, &ignore, &kept.broken_pipe);
    kept.argv = argv;
    kept.who = who;
    kept.unblocked = *unblocked;
    kept.server = getpid();
    kept.socket = kept.mount_ns = kept.user_ns = kept.root = kept.command = -1;
    kept.mount_again_at = seconds_from_now(0);
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == -1 || (keeper->pid = fork_child(&keeper->socket)) == -1)
        fail(1, "cannot start %s: %s\n", argv[0], strerror(errno));
    if (keeper->pid == 0) {
        kept.socket = keeper->socket;
        keep();
    }
}

// A request, and its reply, whole, with up to one descriptor; false if the
// keeper is gone.
static bool ask(struct keeper *keeper, char kind, struct reply *answer, int *fd)
{
    *fd = -1;
    if (keeper->socket != -1 && send_message(keeper->socket, &kind, 1, nullptr, 0) &&
        receive_message(keeper->socket, answer, sizeof *answer, fd, 1)) {
        answer->why[sizeof answer->why - 1] = '\0';
        return true;
    }
    close_if_open(&keeper->socket);
    *answer = {-1, "statpipe-hwmon's keeper has ended"};
    return false;
}

int keeper_mount(struct keeper *keeper, char *why, size_t size)
{
    struct reply answer;
    int fuse = -1;
    (void)ask(keeper, ASK_MOUNT, &answer, &fuse);
    if (answer.value != 0 || fuse == -1) {
        close_if_open(&fuse);
        (void)snprintf(why, size, "%s", answer.why[0] != '\0' ? answer.why : "no mount came");
    }
    return fuse;
}

pid_t keeper_start(struct keeper *keeper)
{
    struct reply answer;
    int none = -1;
    (void)ask(keeper, ASK_START, &answer, &none);
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
