// SPDX-License-Identifier: MIT
// The keeper: a process of its own that makes each mount of the sensor
// files and starts the command beside it, and does nothing else. It keeps
// what that takes (root's mount and setuid capabilities, where it was
// started as root) so that the server gives up everything. Each mount is
// made by a child of its own, in a mount namespace (and a user namespace,
// without privilege) new beside the last one, never inside it: the old one
// goes with the last command that used it, so a recovery can be repeated
// without end. It trusts nothing that the server sends: a request is its
// kind alone (the paths and the command are the keeper's own), a command
// is started only once the last has ended, and a request of another kind
// or size ends the keeper.
#ifndef STATPIPE_KEEPER_H
#define STATPIPE_KEEPER_H

#include <signal.h>
#include <stddef.h>
#include <sys/types.h>

#include "privileges.h"

struct keeper {
    int socket;  // requests and their replies; -1 once the keeper is gone
    pid_t pid;
};

// Forks the keeper, which starts argv as who, with the mask unblocked, in
// the newest mount, in the root and working directory that we have now.
// The caller, its parent, becomes the subreaper that each command is
// handed to, so that it can wait for it. Exits on failure.
void start_keeper(struct keeper *keeper, char **argv, const struct identity *who, const sigset_t *unblocked);

// A new mount of the sensor files beside the last: gives its /dev/fuse
// descriptor, or -1 with why (in a few words, with what would mend it).
int keeper_mount(struct keeper *keeper, char *why, size_t size);

// Starts the command in the newest mount's namespaces, or where we are if
// there is none: gives its pid, or -1 with why said. One at a time.
pid_t keeper_start(struct keeper *keeper);

// Ends the keeper and waits for it, so that nothing of ours is left for
// init to reap.
void stop_keeper(struct keeper *keeper);

#endif
