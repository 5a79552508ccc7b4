// SPDX-License-Identifier: MIT
// The two sensor files at their old paths, as a FUSE file system whose
// every read is answered from the hwmon attributes at that moment.
#ifndef STATPIPE_SERVED_FILES_H
#define STATPIPE_SERVED_FILES_H

#include <time.h>

#include "hwmon_text.h"

struct fuse_session;

// A file is there while its sensor is open.
struct served_file {
    const char *name;
    hwmon_sensor sensor;
    bool chip_gone;  // a read found the device gone
};

enum { SERVED_FAN, SERVED_TEMPERATURE, SERVED_COUNT };
struct served_tree {
    served_file files[SERVED_COUNT];
    time_t started;
};

// Which files are there, a bit each.
unsigned served_mask(const served_tree *tree);

// Serves the tree on a mount already made, whose /dev/fuse descriptor
// fuse is; the session's requests then read and change it, and it owns
// the descriptor. That never blocks: a request may vanish between poll
// and read. Gives nullptr, with the descriptor closed and why in *why, on
// failure.
struct fuse_session *serve_mounted_files(served_tree *tree, const char *program, int fuse, const char **why);

// What a receive's result means: only the session's end (its connection
// aborted, or the mount gone) ends it; any other error is passing.
enum receive_result { RECEIVED_REQUEST, RECEIVED_NOTHING, RECEIVED_END, RECEIVED_ERROR };
receive_result received_how(int received);

#endif
