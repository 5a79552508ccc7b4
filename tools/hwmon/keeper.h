// SPDX-License-Identifier: MIT
// The keeper: a process of its own that makes each mount of the sensor
// files and starts the command beside it, and does nothing else. It keeps
// what that takes (root's mount and setuid capabilities, where it was
// started as root) so that the server gives up everything. Each mount is
// made by a child of its own, in a mount namespace (and a user namespace,
// without privilege) new beside the last one, never inside it: the old one
// goes with the last command that used it, so a recovery can be repeated
// without end.
#ifndef STATPIPE_KEEPER_H
#define STATPIPE_KEEPER_H

#include <pwd.h>
#include <signal.h>
#include <stddef.h>
#include <sys/types.h>

struct keeper {
    int socket;  // requests and their replies; -1 once the keeper is gone
    pid_t pid;
};

// Forks the keeper, which starts argv as user (if given), in the newest
// mount, with the mask unblocked. The caller, its parent, becomes the
// subreaper that each command is handed to, so that it can wait for it.
// Exits on failure.
void start_keeper(struct keeper *keeper, char **argv, const struct passwd *user, const sigset_t *unblocked);

// A new mount beside the last, on directory in a tmpfs on base: gives its
// /dev/fuse descriptor, or -1 with why (in a few words, with what would
// mend it) in why.
int keeper_mount(struct keeper *keeper, const char *base, const char *directory, char *why, size_t size);

// Starts the command in the newest mount's namespaces, or where we are if
// there is none: gives its pid, or -1 with why said.
pid_t keeper_start(struct keeper *keeper);

// Ends the keeper and waits for it, so that nothing of ours is left for
// init to reap.
void stop_keeper(struct keeper *keeper);

// Becomes user (if given), with no capability and no way to gain one.
// Exits on failure: 126 if user cannot be had.
void give_up_privileges(const struct passwd *user);

#endif
