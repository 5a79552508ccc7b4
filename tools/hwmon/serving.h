// SPDX-License-Identifier: MIT
// What is served, and when the command must start again to see it: the
// one place that decides. A look at the chips, a read that finds its chip
// gone, the FUSE session ending and the files served again after they
// could not be change what is served; the command opens its files once, so
// it starts again whenever what it could open is no longer what is there.
#ifndef STATPIPE_SERVING_H
#define STATPIPE_SERVING_H

#include <time.h>

#include "command.h"
#include "keeper.h"
#include "sensor_lookup.h"
#include "served_files.h"

struct fuse_session;
struct fuse_buf;

struct serving {
    wanted_sensor wanted[SERVED_COUNT];
    served_tree tree;
    const char *program;           // for libfuse
    const char *command;           // its name, for messages
    struct keeper *keeper;         // makes the mounts
    struct fuse_session *session;  // nullptr: the files are not served
    bool session_ended;            // said; mounted anew before the command starts again
    bool receive_failed;           // said once, until a request is taken again
    bool served_anew;              // served after they could not be: the command starts again into them
    char unserved[256];            // why they cannot be served, as said; tried again at serve_again_at
    struct timespec serve_again_at;
    unsigned started_with;        // the files there when the command started
    unsigned seen;                // the files there when last asked
    struct timespec quiet_at;     // when no change for a while makes the chip quiet
    int pace_seconds;             // 0: a change restarts at once
    struct timespec paced_until;  // else no restart for a change before then, unless quiet
    bool look_failed;             // said once; looked again at look_again_at
    struct timespec look_again_at;
};

// The look at start; what is missing is said once.
void first_look(struct serving *serving);
// After a device came or went: a look. A look that fails keeps what is
// served, is said once, and is tried again every 10 s until one succeeds.
void look_again(struct serving *serving);
// For poll: milliseconds until a failed look is tried again, or -1.
int look_timeout(const struct serving *serving);
// Looks again if a failed look's time has come.
void look_if_due(struct serving *serving);

// Mounts the files beside the last mount, or says in a line why not and
// what would mend it (not again while that stays the same): the command
// then runs without them, and they are tried again each minute.
void serve_files(struct serving *serving);
// Takes what waits on the session: a request, or its end.
void take_requests(struct serving *serving, struct fuse_buf *buffer);

// The restart rule. Begins a restart when what the command can open is no
// longer what is served: at once for a session that ended or files served
// anew, and for a chip that came or went at once after a quiet time; a
// chip that keeps changing waits a pace that grows while it does (1, 5,
// 25, then 60 s), with what changed meanwhile gathered into one. Nothing
// starts again once a stop was passed on. Kills a command that outstays
// its restart, and tries each minute to serve files that could not be.
// Gives poll's milliseconds until the next of these, or -1.
int decide_restart(struct serving *serving, struct supervised_command *command);
// The command that a restart ended is gone: the files are mounted anew if
// their session ended, looked up afresh, then the command starts. False
// if it cannot start.
bool start_again(struct serving *serving, struct supervised_command *command);

#endif
