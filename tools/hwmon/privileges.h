// SPDX-License-Identifier: MIT
// What a process of statpipe-hwmon may do: whom the command runs as,
// looked up once at the start, and the capabilities given up, each step
// checked and read back, or the process ended.
#ifndef STATPIPE_PRIVILEGES_H
#define STATPIPE_PRIVILEGES_H

#include <sys/types.h>

// Whom the command runs as: --user's ids and groups, looked up before
// anything is shaped, so that nothing is read as root in a namespace
// that another process made.
struct identity {
    const char *name;  // nullptr: as statpipe-hwmon was started
    uid_t uid;
    gid_t gid;
    int group_count;
    gid_t groups[64];
};

// Exits if there is no such user, or one in more groups than that.
void look_up_identity(struct identity *who, const char *name);

// Every capability but kept dropped from all our sets, the bounding set
// first, then no_new_privs set; false unless all of it reads back so.
bool keep_only_capabilities(unsigned long long kept);

// Becomes who (if named), with no capability and no way to gain one, each
// step checked and read back. Ends the process on failure: 126 if who
// cannot be had.
void give_up_privileges(const struct identity *who);

// Says message, with first and then errno's text (errno's alone if first
// is nullptr) in its placeholders, and ends with _exit, as a forked child
// must: exit would run what is its parent's to run.
[[noreturn]] void lose(int status, const char *message, const char *first = nullptr);

#endif
