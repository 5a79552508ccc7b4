// SPDX-License-Identifier: MIT
#include "command.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "command_line.h"

static const int HANDLED_SIGNALS[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP};
static const int RESTART_GRACE_SECONDS = 10;

void prepare_supervising(struct supervised_command *command, char **argv, struct keeper *keeper)
{
    *command = {};
    command->argv = argv;
    command->keeper = keeper;
    command->pid = -1;
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal_number : HANDLED_SIGNALS)
        sigaddset(&handled, signal_number);
    sigprocmask(SIG_BLOCK, &handled, &command->unblocked);
    command->signals = signalfd(-1, &handled, SFD_CLOEXEC);
    if (command->signals == -1)
        fail(1, "cannot start %s: %s\n", argv[0], strerror(errno));
}

bool start_command(struct supervised_command *command)
{
    command->restarting = command->killed = false;
    command->pid = keeper_start(command->keeper);
    if (command->pid != -1)
        return true;
    command->status = 1 << 8;  // exit status 1
    return false;
}

command_state on_command_signal(struct supervised_command *command)
{
    struct signalfd_siginfo info;
    if (read(command->signals, &info, sizeof info) != sizeof info)
        return COMMAND_RUNS;
    int signal_number = static_cast<int>(info.ssi_signo);
    if (signal_number != SIGCHLD) {
        command->passed = signal_number;
        if (command->pid != -1)
            kill(command->pid, signal_number);
        return COMMAND_RUNS;
    }
    // Signals of a kind merge: every child that ended is taken. Besides
    // the command, the keeper, and what the command left to us.
    bool ended = false;
    pid_t pid;
    int status;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (pid == command->keeper->pid) {
            command->keeper->pid = -1;
            say("statpipe-hwmon's keeper has ended; %s is not started again\n", command->argv[0]);
        }
        if (pid == command->pid) {
            command->status = status;
            command->pid = -1;
            ended = true;
        }
    }
    if (!ended)
        return COMMAND_RUNS;
    return command->restarting && command->passed == 0 ? COMMAND_TO_START_AGAIN : COMMAND_ENDED;
}

void restart_command(struct supervised_command *command, const char *why)
{
    say("%s; restarting %s\n", why, command->argv[0]);
    command->restarting = true;
    command->killed = false;
    command->kill_at = seconds_from_now(RESTART_GRACE_SECONDS);
    kill(command->pid, SIGTERM);
}

int end_restart_in_time(struct supervised_command *command)
{
    if (!command->restarting || command->killed || command->pid == -1)
        return -1;
    int left = milliseconds_until(&command->kill_at);
    if (left > 0)
        return left;
    kill(command->pid, SIGKILL);
    command->killed = true;
    return -1;  // its SIGCHLD comes next
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

int earliest(int one, int other)
{
    return one < 0 || (other >= 0 && other < one) ? other : one;
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
