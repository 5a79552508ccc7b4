// statpipe-hwmon: runs a command in a private mount namespace in which the
// two sensor files that statpipe reads exist at their old paths, answered
// at every read from the hwmon attributes of a current kernel.
#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "command_line.h"
#include "hwmon_text.h"
#include "statpipe.h"

static const char USAGE[] =
    "Usage: statpipe-hwmon [--fan PREFIX] [--temperature PREFIX] -- COMMAND [ARG...]\n";
static const char HWMON_CLASS[] = "/sys/class/hwmon";
static const char CHIP_NAME[] = "as99127f";
static const char MOUNT_BASE[] = "/proc/sys/dev";
static const char SENSORS_DIR[] = "/proc/sys/dev/sensors";
static const char CHIP_DIR[] = "as99127f-i2c-1-2d";

enum : fuse_ino_t { INODE_SENSORS = FUSE_ROOT_ID, INODE_CHIP, INODE_FAN, INODE_TEMPERATURE };
static const fuse_ino_t FILE_INODES[] = {INODE_FAN, INODE_TEMPERATURE};

struct served_file {
    const char *name;
    bool served;
    hwmon_sensor sensor;
};
static time_t started;
// Indexed by inode less INODE_FAN.
static served_file files[2] = {{"fan2", false, {}}, {"temp2", false, {}}};

static const served_file *file_of(fuse_ino_t inode)
{
    if (inode != INODE_FAN && inode != INODE_TEMPERATURE)
        return nullptr;
    const served_file *file = &files[inode - INODE_FAN];
    return file->served ? file : nullptr;
}

static bool is_directory(fuse_ino_t inode)
{
    return inode == INODE_SENSORS || inode == INODE_CHIP;
}

// Size 0, as procfs reports: with direct I/O every read reaches us anyway.
static struct stat attributes_of(fuse_ino_t inode)
{
    struct stat st = {};
    st.st_ino = inode;
    st.st_mode = is_directory(inode) ? S_IFDIR | 0555 : S_IFREG | 0444;
    st.st_nlink = is_directory(inode) ? 2 : 1;
    st.st_mtime = st.st_ctime = st.st_atime = started;
    return st;
}

static void on_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    fuse_ino_t inode = 0;
    if (parent == INODE_SENSORS && strcmp(name, CHIP_DIR) == 0)
        inode = INODE_CHIP;
    for (fuse_ino_t candidate : FILE_INODES) {
        const served_file *file = file_of(candidate);
        if (parent == INODE_CHIP && file != nullptr && strcmp(name, file->name) == 0)
            inode = candidate;
    }
    if (inode == 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct fuse_entry_param entry = {};
    entry.ino = inode;
    entry.attr = attributes_of(inode);
    entry.attr_timeout = entry.entry_timeout = 3600;  // the tree never changes
    fuse_reply_entry(req, &entry);
}

static void on_getattr(fuse_req_t req, fuse_ino_t inode, struct fuse_file_info *)
{
    if (!is_directory(inode) && file_of(inode) == nullptr) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st = attributes_of(inode);
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
    } entries[4] = {{".", inode}, {"..", INODE_SENSORS}};
    size_t count = 2;
    if (inode == INODE_SENSORS)
        entries[count++] = {CHIP_DIR, INODE_CHIP};
    for (fuse_ino_t candidate : FILE_INODES) {
        if (inode == INODE_CHIP && file_of(candidate) != nullptr)
            entries[count++] = {file_of(candidate)->name, candidate};
    }
    // Each entry's offset is the index of the next one.
    char buffer[512];
    size_t limit = size < sizeof buffer ? size : sizeof buffer;
    size_t used = 0;
    for (size_t i = static_cast<size_t>(offset); i < count; i++) {
        struct stat st = attributes_of(entries[i].inode);
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
    } else if (file_of(inode) == nullptr) {
        fuse_reply_err(req, ENOENT);
    } else if ((info->flags & O_ACCMODE) != O_RDONLY) {
        fuse_reply_err(req, EACCES);
    } else {
        info->direct_io = 1;  // every read comes to us, however the size looks
        info->keep_cache = 0;
        fuse_reply_open(req, info);
    }
}

// The whole text is made at once, from the attributes as they are now.
static void on_read(fuse_req_t req, fuse_ino_t inode, size_t size, off_t offset, struct fuse_file_info *)
{
    const served_file *file = file_of(inode);
    char text[128];
    int length = file == nullptr ? -1 : hwmon_text(&file->sensor, text, sizeof text);
    if (length < 0) {
        fuse_reply_err(req, EIO);
        return;
    }
    size_t start = offset < length ? static_cast<size_t>(offset) : static_cast<size_t>(length);
    size_t left = static_cast<size_t>(length) - start;
    fuse_reply_buf(req, text + start, size < left ? size : left);
}

// The prefixes of fan2 and temp2 on the hwmon device named as the chip;
// false if there is none.
static bool find_chip(const char **fan, const char **temperature)
{
    static char fan_prefix[PATH_MAX];
    static char temperature_prefix[PATH_MAX];
    DIR *dir = opendir(HWMON_CLASS);
    if (dir == nullptr)
        return false;
    bool found = false;
    struct dirent *entry;
    // cppcheck-suppress readdirCalled ; one thread, and readdir_r is deprecated
    while (!found && (entry = readdir(dir)) != nullptr) {
        char path[PATH_MAX];
        char name[64];
        (void)snprintf(path, sizeof path, "%s/%s/name", HWMON_CLASS, entry->d_name);
        ssize_t length = read_text(path, name, sizeof name);
        if (length > 0 && name[length - 1] == '\n')
            name[length - 1] = '\0';
        found = strcmp(name, CHIP_NAME) == 0;
        if (found) {
            (void)snprintf(fan_prefix, sizeof fan_prefix, "%s/%s/fan2", HWMON_CLASS, entry->d_name);
            (void)snprintf(temperature_prefix, sizeof temperature_prefix, "%s/%s/temp2", HWMON_CLASS,
                           entry->d_name);
        }
    }
    closedir(dir);
    if (found) {
        *fan = *fan != nullptr ? *fan : fan_prefix;
        *temperature = *temperature != nullptr ? *temperature : temperature_prefix;
    }
    return found;
}

// Gives the index of COMMAND in argv; exits on a bad command line.
static int parse_command_line(int argc, char **argv, const char **fan, const char **temperature)
{
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            exit(write(1, USAGE, sizeof USAGE - 1) == sizeof USAGE - 1 ? 0 : 1);
        } else if (is_option(argv[i], "--fan") || is_option(argv[i], "--temperature")) {
            const char *option = argv[i];
            const char *value = option_value(argc, argv, &i);
            if (value == nullptr) {
                diagnose("statpipe-hwmon: %s needs a PREFIX\n%s", option, USAGE);
                exit(2);
            }
            *(is_option(option, "--fan") ? fan : temperature) = value;
        } else {
            diagnose("statpipe-hwmon: unknown option '%s'\n%s", argv[i], USAGE);
            exit(2);
        }
    }
    if (i + 1 >= argc) {
        diagnose("statpipe-hwmon: no COMMAND to run\n%s", USAGE);
        exit(2);
    }
    return i + 1;
}

static bool write_text(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    size_t length = strlen(text);
    bool written = fd != -1 && write(fd, text, length) == static_cast<ssize_t>(length);
    if (fd != -1)
        close(fd);
    return written;
}

// Root gets a mount namespace of its own; anyone else a user namespace in
// which they are root, where the kernel allows it.
static bool enter_private_mounts()
{
    if (unshare(CLONE_NEWNS) == 0)
        return true;
    if (errno != EPERM)
        return false;
    unsigned uid = geteuid();
    unsigned gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) == -1)
        return false;
    char map[64];
    (void)snprintf(map, sizeof map, "0 %u 1", uid);
    if (!write_text("/proc/self/setgroups", "deny") || !write_text("/proc/self/uid_map", map))
        return false;
    (void)snprintf(map, sizeof map, "0 %u 1", gid);
    return write_text("/proc/self/gid_map", map);
}

int main(int argc, char **argv)
{
    const char *fan = nullptr;
    const char *temperature = nullptr;
    int command = parse_command_line(argc, argv, &fan, &temperature);

    if (fan == nullptr || temperature == nullptr) {
        if (!find_chip(&fan, &temperature) && fan == nullptr && temperature == nullptr) {
            diagnose("statpipe-hwmon: no hwmon device named as99127f under %s; name the sensors with --fan "
                     "and --temperature\n",
                     HWMON_CLASS);
            return 2;
        }
    }
    const struct {
        const char *prefix;
        hwmon_kind kind;
    } choices[] = {{fan, HWMON_FAN}, {temperature, HWMON_TEMPERATURE}};
    for (size_t i = 0; i < 2; i++) {
        if (choices[i].prefix == nullptr)
            continue;  // that file is not there; statpipe skips its channel
        files[i].served = hwmon_sensor_from_prefix(&files[i].sensor, choices[i].kind, choices[i].prefix);
        if (!files[i].served) {
            diagnose("statpipe-hwmon: prefix too long: %s\n", choices[i].prefix);
            return 2;
        }
    }

    if (!enter_private_mounts()) {
        diagnose("statpipe-hwmon: cannot make a private mount namespace: %s (run as root, or allow user "
                 "namespaces)\n",
                 strerror(errno));
        return 1;
    }
    // Nothing of ours reaches the host, and nothing of its shows here.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1 ||
        mount("statpipe-hwmon", MOUNT_BASE, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              "mode=0755,size=16k") == -1 ||
        mkdir(SENSORS_DIR, 0755) == -1) {
        diagnose("statpipe-hwmon: cannot mount a tmpfs on %s: %s\n", MOUNT_BASE, strerror(errno));
        return 1;
    }
    if (access("/dev/fuse", R_OK | W_OK) == -1) {
        diagnose("statpipe-hwmon: cannot serve the sensor files: /dev/fuse: %s%s\n", strerror(errno),
                 errno == ENOENT ? " (a kernel without FUSE?)" : "");
        return 1;
    }

    started = time(nullptr);
    struct fuse_lowlevel_ops operations = {};
    operations.lookup = on_lookup;
    operations.getattr = on_getattr;
    operations.readdir = on_readdir;
    operations.open = on_open;
    operations.read = on_read;
    // The command may run as another user; the modes above still hold.
    char *fuse_argv[] = {argv[0], const_cast<char *>("-o"),
                         const_cast<char *>("ro,allow_other,default_permissions,fsname=statpipe-hwmon"),
                         nullptr};
    struct fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
    struct fuse_session *session = fuse_session_new(&args, &operations, sizeof operations, nullptr);
    fuse_opt_free_args(&args);  // what the parser added
    if (session == nullptr || fuse_session_mount(session, SENSORS_DIR) != 0) {
        diagnose("statpipe-hwmon: cannot mount the sensor files on %s\n", SENSORS_DIR);
        return 1;
    }

    // The signals wait for the loop; the command starts with none blocked.
    sigset_t handled;
    sigset_t original;
    sigemptyset(&handled);
    const int handled_signals[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP};
    for (int signal_number : handled_signals)
        sigaddset(&handled, signal_number);
    sigprocmask(SIG_BLOCK, &handled, &original);
    int signals = signalfd(-1, &handled, SFD_CLOEXEC);
    pid_t child = signals == -1 ? -1 : fork();
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &original, nullptr);
        execvp(argv[command], argv + command);
        diagnose("statpipe-hwmon: cannot run %s: %s\n", argv[command], strerror(errno));
        _exit(127);
    }
    if (child == -1) {
        diagnose("statpipe-hwmon: cannot start %s: %s\n", argv[command], strerror(errno));
        fuse_session_unmount(session);
        return 1;
    }

    // Answer each request as it comes; end when the command ends.
    struct pollfd polled[2] = {{fuse_session_fd(session), POLLIN, 0}, {signals, POLLIN, 0}};
    struct fuse_buf buffer = {};
    int status = -1;
    while (status == -1) {
        if (poll(polled, 2, -1) == -1)
            continue;  // EINTR: nothing else can fail here
        struct signalfd_siginfo info;
        if ((polled[1].revents & POLLIN) && read(signals, &info, sizeof info) == sizeof info) {
            int signal_number = static_cast<int>(info.ssi_signo);
            int wait_status;
            if (signal_number != SIGCHLD)
                kill(child, signal_number);
            else if (waitpid(child, &wait_status, WNOHANG) == child)
                status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
        }
        if (polled[0].revents != 0) {  // a request, or an error to read
            int received = fuse_session_receive_buf(session, &buffer);
            if (received > 0)
                fuse_session_process_buf(session, &buffer);
            else if (received != -EINTR && received != -EAGAIN)
                polled[0].fd = -1;  // unmounted under us: wait for the command alone
        }
    }
    free(buffer.mem);
    fuse_session_unmount(session);
    fuse_session_destroy(session);
    return status;
}
