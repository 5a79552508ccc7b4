// SPDX-License-Identifier: MIT
// Running the command: in a mount namespace of its own, with nothing
// privileged left once the mounts are made, and started again when the
// files it can open change.
#ifndef STATPIPE_COMMAND_H
#define STATPIPE_COMMAND_H

#include <pwd.h>
#include <signal.h>
#include <sys/types.h>
#include <time.h>

// A namespace of our own, with a tmpfs on base to hold directory, the
// mount point, once /dev/fuse is there to serve it. Without a capability,
// a user namespace of our own. Gives nullptr, or why not in a few words,
// with what would mend it.
const char *make_private_mounts(const char *base, const char *directory);
// Becomes user (if given), with no capability and no way to gain one.
// Exits on failure: 126 if user cannot be had.
void give_up_privileges(const struct passwd *user);

struct supervised_command {
    char **argv;
    int signals;              // those passed on, and SIGCHLD
    sigset_t unblocked;       // the mask that the command starts with
    pid_t pid;                // -1: none
    int passed;               // the signal last passed on to it; 0: none
    bool restarting;          // ended by us, to be started anew once gone
    struct timespec kill_at;  // while restarting: when SIGTERM has had its time
    int status;               // its wait status, once it has ended for good
};

// Starts argv with no signal blocked; those passed on to it wait in
// command->signals. Exits on failure.
void start_supervising(struct supervised_command *command, char **argv);

enum command_state { COMMAND_RUNS, COMMAND_TO_START_AGAIN, COMMAND_ENDED };
// Takes what waits in command->signals: passes a signal on, or reaps.
// Once a command that restart_command ended is gone, the caller starts
// the new one.
command_state on_command_signal(struct supervised_command *command);
// False, with why said, if it cannot: the command has then ended, with
// status 1.
bool start_command_again(struct supervised_command *command);
// Ends the command, with why in one line (not while a restart is under
// way); the new one starts once it is gone, so that there is never more
// than one.
void restart_command(struct supervised_command *command, const char *why);
// For poll: milliseconds until a restart's SIGTERM has had its time, or -1;
// then the command is killed.
int restart_timeout(struct supervised_command *command);

// A moment that many seconds from now, on the monotonic clock; the
// milliseconds left until one, 0 once it has come.
struct timespec seconds_from_now(int seconds);
int milliseconds_until(const struct timespec *moment);

// Ends as the command ended: by the signal passed on to it, so that a
// stop asked for counts as clean, else with its exit status, or 128+N
// after another signal N.
[[noreturn]] void end_as_command(const struct supervised_command *command);

#endif
