// SPDX-License-Identifier: MIT
// What is served, and when the command must start again to see it: the
// one place that decides. A look at the chips, a read that finds its chip
// gone, and the FUSE session ending change what is served; the command
// opens its files once, so it starts again whenever what it could open is
// no longer what is there.
#ifndef STATPIPE_SERVING_H
#define STATPIPE_SERVING_H

#include <time.h>

#include "sensor_lookup.h"
#include "served_files.h"

struct fuse_session;
struct fuse_buf;

struct serving {
    wanted_sensor wanted[SERVED_COUNT];
    served_tree tree;
    const char *program;           // for libfuse
    const char *command;           // its name, for messages
    struct fuse_session *session;  // nullptr: the files are not served
    bool session_ended;            // said; mounted anew before the command starts again
    unsigned started_with;         // the files there when the command started
    bool look_failed;              // said once; looked again at look_again_at
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

// Mounts the files, or says in a line why not and what would mend it: the
// command then runs without them.
void serve_files(struct serving *serving);
// Takes what waits on the session: a request, or its end.
void take_requests(struct serving *serving, struct fuse_buf *buffer);
// Why the command must start again, in one line; nullptr if it need not.
const char *restart_reason(struct serving *serving);
// The command is about to start again: the files are mounted anew if the
// session ended (a user namespace of our own makes that possible without
// privilege), and looked up afresh.
void before_start_again(struct serving *serving);

#endif
