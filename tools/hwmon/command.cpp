// SPDX-License-Identifier: MIT
#include "command.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "command_line.h"

static const int HANDLED_SIGNALS[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP};
static const int RESTART_GRACE_SECONDS = 10;

static bool write_text(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    size_t length = strlen(text);
    bool written = fd != -1 && write(fd, text, length) == static_cast<ssize_t>(length);
    if (fd != -1)
        close(fd);
    return written;
}

// Root gets a mount namespace of its own; anyone else a user namespace,
// where the kernel allows it, in which they keep their own ids.
static bool enter_private_mounts()
{
    if (unshare(CLONE_NEWNS) == 0)
        return true;
    if (errno != EPERM)
        return false;
    unsigned uid = geteuid();
    unsigned gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) == -1)
        return false;
    // After a change of user, /proc/self's files are root's until the
    // process is made dumpable again: for the maps, and no longer.
    int dumpable = prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
    (void)prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    char map[64];
    (void)snprintf(map, sizeof map, "%u %u 1", uid, uid);
    bool mapped = write_text("/proc/self/setgroups", "deny") && write_text("/proc/self/uid_map", map);
    (void)snprintf(map, sizeof map, "%u %u 1", gid, gid);
    mapped = mapped && write_text("/proc/self/gid_map", map);
    int error = errno;
    (void)prctl(PR_SET_DUMPABLE, dumpable, 0, 0, 0);
    errno = error;
    return mapped;
}

const char *make_private_mounts(const char *base, const char *directory)
{
    static char why[256];
    // Checked first: without it there is nothing to mount, and the command
    // runs where it is.
    if (access("/dev/fuse", R_OK | W_OK) == -1) {
        int error = errno;
        (void)snprintf(why, sizeof why, "/dev/fuse: %s%s", strerror(error),
                       error == ENOENT ? " (a kernel without FUSE?)"
                                       : " (make it mode 0666, as udev's rule for it does, or start "
                                         "statpipe-hwmon as root, as the drop-in's root variant does)");
        return why;
    }
    const char *step = nullptr;
    const char *mend = "";
    if (!enter_private_mounts()) {
        step = "no private mount namespace";
        // Root without capabilities may not map itself.
        mend = geteuid() == 0 ? " (start statpipe-hwmon with --user, or as root)"
                              : " (run as root, or allow user namespaces)";
    } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1) {
        // Nothing of ours reaches the host, and nothing of its shows here.
        step = "cannot make the mounts private";
    } else if (mount("statpipe-hwmon", base, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                     "mode=0755,size=16k") == -1) {
        step = "cannot mount a tmpfs on /proc/sys/dev";
    } else if (mkdir(directory, 0755) == -1) {
        step = "cannot make the mount point";
    }
    if (step == nullptr)
        return nullptr;
    (void)snprintf(why, sizeof why, "%s: %s%s", step, strerror(errno), mend);
    return why;
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

// In the child: the signal that ends the command with us. A parent gone
// before it was set is caught by its pid.
[[noreturn]] static void run_command(char **argv, const sigset_t *mask, pid_t parent)
{
    sigprocmask(SIG_SETMASK, mask, nullptr);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != parent) {
        say("not running %s: statpipe-hwmon has ended\n", argv[0]);
        _exit(1);
    }
    execvp(argv[0], argv);
    say("cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
}

static bool start_command(struct supervised_command *command)
{
    pid_t parent = getpid();
    command->pid = fork();
    if (command->pid == 0)
        run_command(command->argv, &command->unblocked, parent);
    if (command->pid == -1)
        say("cannot start %s: %s\n", command->argv[0], strerror(errno));
    return command->pid != -1;
}

void start_supervising(struct supervised_command *command, char **argv)
{
    *command = {};
    command->argv = argv;
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal_number : HANDLED_SIGNALS)
        sigaddset(&handled, signal_number);
    sigprocmask(SIG_BLOCK, &handled, &command->unblocked);
    command->signals = signalfd(-1, &handled, SFD_CLOEXEC);
    if (command->signals == -1)
        fail(1, "cannot start %s: %s\n", argv[0], strerror(errno));
    if (!start_command(command))
        exit(1);
}

command_state on_command_signal(struct supervised_command *command)
{
    struct signalfd_siginfo info;
    if (read(command->signals, &info, sizeof info) != sizeof info)
        return COMMAND_RUNS;
    int signal_number = static_cast<int>(info.ssi_signo);
    if (signal_number != SIGCHLD) {
        // A stop asked for during a restart ends the old one, and no other.
        command->passed = signal_number;
        command->restarting = false;
        kill(command->pid, signal_number);
        return COMMAND_RUNS;
    }
    if (waitpid(command->pid, &command->status, WNOHANG) != command->pid)
        return COMMAND_RUNS;
    if (!command->restarting)
        return COMMAND_ENDED;
    command->restarting = false;
    return COMMAND_TO_START_AGAIN;
}

bool start_command_again(struct supervised_command *command)
{
    if (start_command(command))
        return true;
    command->status = 1 << 8;  // exit status 1
    return false;
}

void restart_command(struct supervised_command *command, const char *why)
{
    say("%s; restarting %s\n", why, command->argv[0]);
    command->restarting = true;
    command->kill_at = seconds_from_now(RESTART_GRACE_SECONDS);
    kill(command->pid, SIGTERM);
}

struct timespec seconds_from_now(int seconds)
{
    struct timespec moment;
    (void)clock_gettime(CLOCK_MONOTONIC, &moment);
    moment.tv_sec += seconds;
    return moment;
}

int milliseconds_until(const struct timespec *moment)
{
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    long long left = (moment->tv_sec - now.tv_sec) * 1000LL + (moment->tv_nsec - now.tv_nsec) / 1000000;
    return left > 0 ? static_cast<int>(left) : 0;
}

int restart_timeout(struct supervised_command *command)
{
    if (!command->restarting)
        return -1;
    int left = milliseconds_until(&command->kill_at);
    if (left > 0)
        return left;
    kill(command->pid, SIGKILL);
    return -1;  // its SIGCHLD comes next
}

void end_as_command(const struct supervised_command *command)
{
    int status = command->status;
    if (WIFEXITED(status))
        exit(WEXITSTATUS(status));
    int signal_number = WTERMSIG(status);
    if (signal_number == command->passed) {
        sigset_t mask;
        sigemptyset(&mask);
        sigaddset(&mask, signal_number);
        (void)signal(signal_number, SIG_DFL);
        sigprocmask(SIG_UNBLOCK, &mask, nullptr);
        (void)raise(signal_number);
    }
    exit(128 + signal_number);
}
