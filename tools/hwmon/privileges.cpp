// SPDX-License-Identifier: MIT
#include "privileges.h"

#include <errno.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "command_line.h"

void lose(int status, const char *message, const char *first)
{
    const char *error = strerror(errno);
    say(message, first != nullptr ? first : error, first != nullptr ? error : nullptr);
    _exit(status);
}

void look_up_identity(struct identity *who, const char *name)
{
    *who = {};
    if (name == nullptr)
        return;
    // cppcheck-suppress getpwnamCalled ; one thread, before anything else
    const struct passwd *user = getpwnam(name);
    if (user == nullptr)
        fail(1, "no user %s\n", name);
    who->name = name;
    who->uid = user->pw_uid;
    who->gid = user->pw_gid;
    who->group_count = sizeof who->groups / sizeof who->groups[0];
    if (getgrouplist(name, who->gid, who->groups, &who->group_count) == -1)
        fail(1, "%s is in more than 64 groups\n", name);
}

// Our permitted, effective and inheritable sets, a word of each at a time.
struct capability_sets {
    struct __user_cap_data_struct words[_LINUX_CAPABILITY_U32S_3];
};

static bool get_sets(capability_sets *sets)
{
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, sets->words) == 0;
}

static bool set_sets(capability_sets *sets)
{
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capset, &header, sets->words) == 0;
}

static bool holds(unsigned capability)
{
    capability_sets sets = {};
    return get_sets(&sets) && (sets.words[capability / 32].effective >> (capability % 32) & 1);
}

// Whether the bounding set holds nothing beyond kept_capabilities: what
// else it holds dropped first if drop is set (while CAP_SETPCAP is ours),
// each drop checked.
static bool bounded_within(unsigned long long kept_capabilities, bool drop)
{
    for (unsigned long capability = 0; capability < 64; capability++) {
        int held = prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
        if (held < 0)
            break;
        if (held == 1 && (kept_capabilities >> capability & 1) == 0 &&
            (!drop || prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) == -1))
            return false;
    }
    return true;
}

// Every capability but kept_capabilities dropped from our sets, and that
// read back: nothing beyond them, inheritable none (and so ambient none),
// the bounding set too where bounded.
static bool keep_only(unsigned long long kept_capabilities, bool bounded)
{
    capability_sets sets = {};
    bool kept = get_sets(&sets);
    for (unsigned i = 0; i < _LINUX_CAPABILITY_U32S_3; i++) {
        auto part = static_cast<unsigned>(kept_capabilities >> (32 * i));
        sets.words[i].permitted &= part;
        sets.words[i].effective &= part;
        sets.words[i].inheritable = 0;
    }
    kept = kept && set_sets(&sets) && get_sets(&sets);
    for (unsigned i = 0; kept && i < _LINUX_CAPABILITY_U32S_3; i++) {
        auto part = static_cast<unsigned>(kept_capabilities >> (32 * i));
        kept = ((sets.words[i].permitted | sets.words[i].effective) & ~part) == 0 &&
               sets.words[i].inheritable == 0;
    }
    return kept && (!bounded || bounded_within(kept_capabilities, false));
}

// Whether no exec can give us more: no_new_privs set and read back.
static bool no_new_privileges()
{
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1;
}

bool keep_only_capabilities(unsigned long long kept)
{
    // The bounding set only where we may change it: where we may not, no
    // exec can give what it holds once no_new_privs is set.
    bool bounded = holds(CAP_SETPCAP);
    return (!bounded || bounded_within(kept, true)) && keep_only(kept, bounded) && no_new_privileges();
}

void give_up_privileges(const struct identity *who)
{
    // The bounding set first, while CAP_SETPCAP is ours.
    bool bounded = holds(CAP_SETPCAP);
    if (bounded && !bounded_within(0, true))
        lose(1, "cannot give up privileges: %s\n");
    if (who->name != nullptr && geteuid() != who->uid) {
        if (setgroups(static_cast<size_t>(who->group_count), who->groups) == -1 || setgid(who->gid) == -1 ||
            setuid(who->uid) == -1)
            lose(126, "cannot become %s: %s\n", who->name);
        uid_t uids[3];
        gid_t gids[3];
        if (getresuid(&uids[0], &uids[1], &uids[2]) == -1 || getresgid(&gids[0], &gids[1], &gids[2]) == -1 ||
            uids[0] != who->uid || uids[1] != who->uid || uids[2] != who->uid || gids[0] != who->gid ||
            gids[1] != who->gid || gids[2] != who->gid) {
            errno = EPERM;
            lose(126, "cannot become %s: %s\n", who->name);
        }
    }
    // None left, whoever we are now, and none that an exec could give.
    if (!keep_only(0, bounded) || !no_new_privileges())
        lose(1, "cannot give up privileges: %s\n");
}
