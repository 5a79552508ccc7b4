// SPDX-License-Identifier: MIT
#define FUSE_USE_VERSION 34
#include "served_files.h"

#include <fuse_lowlevel.h>

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "command_line.h"

static const char CHIP_DIR[] = "as99127f-i2c-1-2d";

enum : fuse_ino_t { INODE_SENSORS = FUSE_ROOT_ID, INODE_CHIP, INODE_FILES };

unsigned served_mask(const served_tree *tree)
{
    unsigned mask = 0;
    for (int i = 0; i < SERVED_COUNT; i++)
        mask |= tree->files[i].sensor.input != -1 ? 1u << i : 0;
    return mask;
}

// The file of an inode, while it is there.
static served_file *file_of(fuse_req_t req, fuse_ino_t inode)
{
    auto *tree = static_cast<served_tree *>(fuse_req_userdata(req));
    if (inode < INODE_FILES || inode >= INODE_FILES + SERVED_COUNT)
        return nullptr;
    served_file *file = &tree->files[inode - INODE_FILES];
    return file->sensor.input != -1 ? file : nullptr;
}

static bool is_directory(fuse_ino_t inode)
{
    return inode == INODE_SENSORS || inode == INODE_CHIP;
}

// Size 0, as procfs reports: with direct I/O every read reaches us anyway.
static struct stat attributes_of(fuse_req_t req, fuse_ino_t inode)
{
    struct stat st = {};
    st.st_ino = static_cast<ino_t>(inode);
    st.st_mode = is_directory(inode) ? S_IFDIR | 0555 : S_IFREG | 0444;
    st.st_nlink = is_directory(inode) ? 2 : 1;
    st.st_mtime = st.st_ctime = st.st_atime = static_cast<served_tree *>(fuse_req_userdata(req))->started;
    return st;
}

// A file whose chip is not there has no entry: the command's open fails
// as it did on kernels that had no such file.
static void on_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    fuse_ino_t inode = 0;
    if (parent == INODE_SENSORS && strcmp(name, CHIP_DIR) == 0)
        inode = INODE_CHIP;
    for (fuse_ino_t candidate = INODE_FILES; parent == INODE_CHIP && candidate < INODE_FILES + SERVED_COUNT;
         candidate++) {
        const served_file *file = file_of(req, candidate);
        if (file != nullptr && strcmp(name, file->name) == 0)
            inode = candidate;
    }
    if (inode == 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct fuse_entry_param entry = {};
    entry.ino = inode;
    entry.attr = attributes_of(req, inode);
    // Directories never change; a file may go, which open checks again.
    entry.attr_timeout = entry.entry_timeout = 3600;
    fuse_reply_entry(req, &entry);
}

static void on_getattr(fuse_req_t req, fuse_ino_t inode, struct fuse_file_info *)
{
    if (!is_directory(inode) && file_of(req, inode) == nullptr) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st = attributes_of(req, inode);
    fuse_reply_attr(req, &st, 3600);
}

static void on_readdir(fuse_req_t req, fuse_ino_t inode, size_t size, off_t offset, struct fuse_file_info *)
{
    if (!is_directory(inode)) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    struct entry {
        const char *name;
        fuse_ino_t inode;
    } entries[2 + SERVED_COUNT] = {{".", inode}, {"..", INODE_SENSORS}};
    size_t count = 2;
    if (inode == INODE_SENSORS)
        entries[count++] = {CHIP_DIR, INODE_CHIP};
    for (fuse_ino_t candidate = INODE_FILES; inode == INODE_CHIP && candidate < INODE_FILES + SERVED_COUNT;
         candidate++) {
        if (const served_file *file = file_of(req, candidate))
            entries[count++] = {file->name, candidate};
    }
    // Each entry's offset is the index of the next one.
    char buffer[512];
    size_t limit = size < sizeof buffer ? size : sizeof buffer;
    size_t used = 0;
    for (size_t i = static_cast<size_t>(offset); i < count; i++) {
        struct stat st = attributes_of(req, entries[i].inode);
        size_t length = fuse_add_direntry(req, buffer + used, limit - used, entries[i].name, &st,
                                          static_cast<off_t>(i + 1));
        if (used + length > limit)
            break;
        used += length;
    }
    fuse_reply_buf(req, buffer, used);
}

static void on_open(fuse_req_t req, fuse_ino_t inode, struct fuse_file_info *info)
{
    if (is_directory(inode)) {
        fuse_reply_err(req, EISDIR);
    } else if (file_of(req, inode) == nullptr) {
        fuse_reply_err(req, ENOENT);
    } else if ((info->flags & O_ACCMODE) != O_RDONLY) {
        fuse_reply_err(req, EACCES);
    } else {
        info->direct_io = 1;  // every read comes to us, however the size looks
        info->keep_cache = 0;
        fuse_reply_open(req, info);
    }
}

// The whole text is made at once, from the attributes as they are now. A
// chip found gone is noted, for the supervisor to decide on.
static void on_read(fuse_req_t req, fuse_ino_t inode, size_t size, off_t offset, struct fuse_file_info *)
{
    served_file *file = file_of(req, inode);
    char text[128];
    int length = file == nullptr ? -1 : hwmon_text(&file->sensor, text, sizeof text);
    if (length < 0) {
        if (file != nullptr && errno == ENODEV)
            file->chip_gone = true;
        fuse_reply_err(req, EIO);
        return;
    }
    size_t start = offset < length ? static_cast<size_t>(offset) : static_cast<size_t>(length);
    size_t left = static_cast<size_t>(length) - start;
    fuse_reply_buf(req, text + start, size < left ? size : left);
}

// libfuse's own messages, in our one-line form.
__attribute__((format(printf, 2, 0))) static void on_fuse_log(enum fuse_log_level, const char *format,
                                                              va_list arguments)
{
    char line[256];
    (void)vsnprintf(line, sizeof line, format, arguments);
    line[strcspn(line, "\n")] = '\0';
    say("%s\n", line);
}

struct fuse_session *serve_mounted_files(served_tree *tree, const char *program, int fuse, const char **why)
{
    static char text[160];
    fuse_set_log_func(on_fuse_log);
    tree->started = time(nullptr);
    struct fuse_lowlevel_ops operations = {};
    operations.lookup = on_lookup;
    operations.getattr = on_getattr;
    operations.readdir = on_readdir;
    operations.open = on_open;
    operations.read = on_read;
    char *fuse_argv[] = {const_cast<char *>(program), nullptr};
    struct fuse_args args = FUSE_ARGS_INIT(1, fuse_argv);
    errno = 0;
    struct fuse_session *session = fuse_session_new(&args, &operations, sizeof operations, tree);
    fuse_opt_free_args(&args);  // what the parser added
    // The mount is made: libfuse takes its descriptor as /dev/fd/N.
    char mounted[32];
    (void)snprintf(mounted, sizeof mounted, "/dev/fd/%d", fuse);
    if (session == nullptr) {
        (void)snprintf(text, sizeof text, "no FUSE session: %s",
                       errno != 0 ? strerror(errno) : "libfuse refused its options");
        (void)close(fuse);
    } else if (fuse_session_mount(session, mounted) != 0) {
        (void)snprintf(text, sizeof text, "libfuse cannot take the mount: %s", strerror(errno));
        fuse_session_destroy(session);
        (void)close(fuse);
        session = nullptr;
    } else {
        (void)fcntl(fuse, F_SETFL, fcntl(fuse, F_GETFL) | O_NONBLOCK);
    }
    *why = text;
    return session;
}

receive_result received_how(int received)
{
    if (received > 0)
        return RECEIVED_REQUEST;
    // EINTR and EAGAIN: nothing yet; ENOENT: a request its requester
    // gave up on.
    if (received == -EINTR || received == -EAGAIN || received == -ENOENT)
        return RECEIVED_NOTHING;
    // The connection aborted, or the mount gone.
    if (received == 0 || received == -ENODEV)
        return RECEIVED_END;
    return RECEIVED_ERROR;
}
