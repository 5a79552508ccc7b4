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
};

enum { SERVED_FAN, SERVED_TEMPERATURE, SERVED_COUNT };
struct served_tree {
    served_file files[SERVED_COUNT];
    time_t started;
};

// Which files are there, a bit each.
unsigned served_mask(const served_tree *tree);

// Mounts the tree on directory (the chip's directory below it); the
// session's requests then read and change it. Its descriptor never
// blocks: a request may vanish between poll and read. Gives nullptr, and
// why in *why, on failure.
struct fuse_session *mount_served_files(served_tree *tree, const char *program, const char *directory,
                                        const char **why);
// Whether a receive's result means that the session has ended: the
// connection aborted, or the mount gone.
bool session_has_ended(int received);

#endif
