// SPDX-License-Identifier: MIT
// Running the command: started by the keeper beside the newest mount,
// waited for here, its signals passed on, and ended for a restart.
#ifndef STATPIPE_COMMAND_H
#define STATPIPE_COMMAND_H

#include <signal.h>
#include <sys/types.h>
#include <time.h>

#include "keeper.h"

struct supervised_command {
    char **argv;
    struct keeper *keeper;
    int signals;              // those passed on, and SIGCHLD
    sigset_t unblocked;       // the mask that the command starts with
    pid_t pid;                // -1: none
    int passed;               // the stop passed on to it; 0: none. Once set, nothing starts again
    bool restarting;          // ended by us, to be started anew once gone
    bool killed;              // its restart's grace spent, SIGKILL sent
    struct timespec kill_at;  // while restarting: when SIGTERM has had its time
    int status;               // its wait status, once it has ended
};

// Blocks the signals that are passed on; they wait in command->signals.
// Exits on failure.
void prepare_supervising(struct supervised_command *command, char **argv, struct keeper *keeper);
// False, with why said, if it cannot: the command has then ended, with
// status 1.
bool start_command(struct supervised_command *command);

enum command_state { COMMAND_RUNS, COMMAND_TO_START_AGAIN, COMMAND_ENDED };
// Takes what waits in command->signals: passes a stop on, or reaps. Once
// a command that restart_command ended is gone, the caller starts the new
// one, unless a stop was passed on: then it has ended.
command_state on_command_signal(struct supervised_command *command);
// Ends the command, with why in one line; the new one starts once it is
// gone, so that there is never more than one.
void restart_command(struct supervised_command *command, const char *why);
// While restarting: kills a command whose grace is spent. Gives poll's
// milliseconds until then, or -1.
int end_restart_in_time(struct supervised_command *command);

// A moment that many seconds from now, on the monotonic clock; the
// milliseconds left until one, 0 once it has come.
struct timespec seconds_from_now(int seconds);
int milliseconds_until(const struct timespec *moment);
// The earlier of two poll timeouts, -1 being none.
int earliest(int one, int other);

// Ends as the command ended: by the stop passed on to it, so that a stop
// asked for counts as clean, else with its exit status, or 128+N after
// another signal N.
[[noreturn]] void end_as_command(const struct supervised_command *command);

#endif
