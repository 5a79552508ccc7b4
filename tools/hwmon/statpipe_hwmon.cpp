// SPDX-License-Identifier: MIT
// statpipe-hwmon: runs a command in a private mount namespace in which the
// two sensor files that statpipe reads exist at their old paths, answered
// at every read from the hwmon attributes of a current kernel. Sensors are
// named as sensors(1) names them, and followed when their chip goes away
// and comes back under another hwmon number.
#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>
#include <sensors/error.h>
#include <sensors/sensors.h>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "command_line.h"
#include "hwmon_text.h"

static const char USAGE[] =
    "Usage: statpipe-hwmon [--fan CHIP:FEATURE] [--temperature CHIP:FEATURE] [--user USER] "
    "-- COMMAND [ARG...]\n";
static const char MOUNT_BASE[] = "/proc/sys/dev";
static const char SENSORS_DIR[] = "/proc/sys/dev/sensors";
static const char CHIP_DIR[] = "as99127f-i2c-1-2d";

enum : fuse_ino_t { INODE_SENSORS = FUSE_ROOT_ID, INODE_CHIP, INODE_FAN, INODE_TEMPERATURE };
static const fuse_ino_t FILE_INODES[] = {INODE_FAN, INODE_TEMPERATURE};

// One of the two files, and the sensor that answers it.
struct served_file {
    const char *name;
    const char *wanted;  // CHIP:FEATURE
    sensors_feature_type type;
    sensors_subfeature_type attributes[3];  // the input, then the limits
    sensors_chip_name chip;                 // once found, that chip alone
    bool followed;
    char feature[64];
    char found[192];  // CHIP:FEATURE of the chip served, for messages
    hwmon_sensor sensor;
};
static time_t started;
// Indexed by inode less INODE_FAN.
static served_file files[2] = {
    {"fan2",
     "as99127f-*:fan2",
     SENSORS_FEATURE_FAN,
     {SENSORS_SUBFEATURE_FAN_INPUT, SENSORS_SUBFEATURE_FAN_MIN, SENSORS_SUBFEATURE_UNKNOWN},
     {},
     false,
     {},
     {},
     {HWMON_FAN, -1, {-1, -1}}},
    {"temp2",
     "as99127f-*:temp2",
     SENSORS_FEATURE_TEMP,
     {SENSORS_SUBFEATURE_TEMP_INPUT, SENSORS_SUBFEATURE_TEMP_MAX, SENSORS_SUBFEATURE_TEMP_MAX_HYST},
     {},
     false,
     {},
     {},
     {HWMON_TEMPERATURE, -1, {-1, -1}}},
};

static served_file *file_of(fuse_ino_t inode)
{
    return inode == INODE_FAN || inode == INODE_TEMPERATURE ? &files[inode - INODE_FAN] : nullptr;
}

// CHIP:FEATURE into the file's chip pattern and feature; false if malformed.
static bool parse_sensor(served_file *file)
{
    const char *colon = strchr(file->wanted, ':');
    if (colon == nullptr || colon == file->wanted || colon[1] == '\0' ||
        strlen(colon + 1) >= sizeof file->feature)
        return false;
    char chip[128];
    (void)snprintf(chip, sizeof chip, "%.*s", static_cast<int>(colon - file->wanted), file->wanted);
    (void)snprintf(file->feature, sizeof file->feature, "%s", colon + 1);
    return sensors_parse_chip_name(chip, &file->chip) == 0;
}

enum lookup_result { FOUND, NO_CHIP, NO_FEATURE };

// Opens the attributes of the first chip that matches and has the feature.
// From then on only that chip, by bus and address, is looked for: another
// chip under its old hwmon number is never served under our names.
static lookup_result attach(served_file *file, char *path, size_t size)
{
    lookup_result result = NO_CHIP;
    const sensors_chip_name *chip;
    int chip_number = 0;
    while (result != FOUND && (chip = sensors_get_detected_chips(&file->chip, &chip_number)) != nullptr) {
        result = NO_FEATURE;
        const sensors_feature *feature;
        int feature_number = 0;
        while (result != FOUND && (feature = sensors_get_features(chip, &feature_number)) != nullptr) {
            if (feature->type != file->type || strcmp(feature->name, file->feature) != 0)
                continue;
            char names[3][PATH_MAX];
            const char *paths[3] = {nullptr, nullptr, nullptr};
            for (int i = 0; i < 3; i++) {
                const sensors_subfeature *attribute =
                    sensors_get_subfeature(chip, feature, file->attributes[i]);
                if (attribute != nullptr &&
                    snprintf(names[i], sizeof names[i], "%s/%s", chip->path, attribute->name) < PATH_MAX)
                    paths[i] = names[i];
            }
            if (paths[0] == nullptr ||
                !hwmon_sensor_open(&file->sensor, file->sensor.kind, paths[0], paths + 1))
                continue;
            char name[96];
            (void)sensors_snprintf_chip_name(name, sizeof name, chip);
            (void)snprintf(file->found, sizeof file->found, "%s:%s", name, file->feature);
            (void)snprintf(path, size, "%s", chip->path);
            if (!file->followed) {
                sensors_free_chip_name(&file->chip);
                file->followed = sensors_parse_chip_name(name, &file->chip) == 0;
            }
            result = FOUND;
        }
    }
    return result;
}

// A fresh look at the kernel's chips, which libsensors reads only at start.
static lookup_result look_up(served_file *file, char *path, size_t size, const char **error)
{
    int status = sensors_init(nullptr);
    *error = status == 0 ? nullptr : sensors_strerror(status);
    lookup_result result = status == 0 ? attach(file, path, size) : NO_CHIP;
    sensors_cleanup();
    return result;
}

// The file's text now. A chip that is gone fails the read (EIO) and is
// looked for at each later read, under any hwmon number.
static int text_of(served_file *file, char *text, size_t size)
{
    int length = file->sensor.input == -1 ? -1 : hwmon_text(&file->sensor, text, size);
    if (length != -1 || (file->sensor.input != -1 && errno != ENODEV))
        return length;
    if (file->sensor.input != -1) {
        hwmon_sensor_close(&file->sensor);
        say("%s is gone; its reads fail until it is back\n", file->found);
    }
    char path[PATH_MAX];
    const char *error;
    if (look_up(file, path, sizeof path, &error) != FOUND)
        return -1;
    say("serving %s from %s\n", file->found, path);
    return hwmon_text(&file->sensor, text, size);
}

static bool is_directory(fuse_ino_t inode)
{
    return inode == INODE_SENSORS || inode == INODE_CHIP;
}

// Size 0, as procfs reports: with direct I/O every read reaches us anyway.
static struct stat attributes_of(fuse_ino_t inode)
{
    struct stat st = {};
    st.st_ino = static_cast<ino_t>(inode);
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
        if (parent == INODE_CHIP && strcmp(name, file_of(candidate)->name) == 0)
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
        if (inode == INODE_CHIP)
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
    served_file *file = file_of(inode);
    char text[128];
    int length = file == nullptr ? -1 : text_of(file, text, sizeof text);
    if (length < 0) {
        fuse_reply_err(req, EIO);
        return;
    }
    size_t start = offset < length ? static_cast<size_t>(offset) : static_cast<size_t>(length);
    size_t left = static_cast<size_t>(length) - start;
    fuse_reply_buf(req, text + start, size < left ? size : left);
}

// Gives the index of COMMAND in argv; exits on a bad command line.
static int parse_command_line(int argc, char **argv, const char **user)
{
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
        const char *option = argv[i];
        if (strcmp(option, "--help") == 0 || strcmp(option, "-h") == 0)
            print_usage();
        if (!is_option(option, "--fan") && !is_option(option, "--temperature") &&
            !is_option(option, "--user")) {
            if (option[0] != '-')
                fail_usage("COMMAND must follow --, before '%s'\n", option);
            fail_usage("unknown option '%s'\n", option);
        }
        const char *value = option_value(argc, argv, &i);
        if (value == nullptr)
            fail_usage("%s needs a value\n", option);
        if (is_option(option, "--user"))
            *user = value;
        else
            files[is_option(option, "--fan") ? 0 : 1].wanted = value;
    }
    for (served_file &file : files) {
        if (!parse_sensor(&file))
            fail_usage("'%s' is not CHIP:FEATURE, as sensors(1) names them (for example as99127f-*:fan2)\n",
                       file.wanted);
    }
    if (i + 1 >= argc)
        fail_usage("no COMMAND to run\n");
    return i + 1;
}

// A sensor not there yet is said once; it is served when it appears,
// since a driver may load after us, and three readings beat none.
static void find_sensors()
{
    for (served_file &file : files) {
        char path[PATH_MAX];
        const char *error;
        lookup_result result = look_up(&file, path, sizeof path, &error);
        char chip[128];
        (void)snprintf(chip, sizeof chip, "%.*s", static_cast<int>(strcspn(file.wanted, ":")), file.wanted);
        if (error != nullptr)
            say("cannot look up the sensors: %s\n", error);
        else if (result == NO_CHIP)
            say("no chip %s; %s fails to read until it appears\n", chip, file.name);
        else if (result == NO_FEATURE)
            say("chip %s has no %s; it fails to read until it appears\n", chip, file.feature);
        if (result != FOUND)  // said, under the name asked for
            (void)snprintf(file.found, sizeof file.found, "%s", file.wanted);
    }
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

// The namespace with the tmpfs that holds the mount point; exits on failure.
static void prepare_mount_point()
{
    if (!enter_private_mounts()) {
        fail(1, "cannot make a private mount namespace: %s (run as root, or allow user namespaces)\n",
             strerror(errno));
    }
    // Nothing of ours reaches the host, and nothing of its shows here.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1 ||
        mount("statpipe-hwmon", MOUNT_BASE, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              "mode=0755,size=16k") == -1 ||
        mkdir(SENSORS_DIR, 0755) == -1) {
        fail(1, "cannot mount a tmpfs on %s: %s\n", MOUNT_BASE, strerror(errno));
    }
    if (access("/dev/fuse", R_OK | W_OK) == -1) {
        fail(1, "cannot serve the sensor files: /dev/fuse: %s%s\n", strerror(errno),
             errno == ENOENT ? " (a kernel without FUSE?)" : "");
    }
}

static struct fuse_session *mount_sensor_files(char *program)
{
    started = time(nullptr);
    struct fuse_lowlevel_ops operations = {};
    operations.lookup = on_lookup;
    operations.getattr = on_getattr;
    operations.readdir = on_readdir;
    operations.open = on_open;
    operations.read = on_read;
    // The command may run as another user; the modes above still hold.
    char *fuse_argv[] = {program, const_cast<char *>("-o"),
                         const_cast<char *>("ro,allow_other,default_permissions,fsname=statpipe-hwmon"),
                         nullptr};
    struct fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
    struct fuse_session *session = fuse_session_new(&args, &operations, sizeof operations, nullptr);
    fuse_opt_free_args(&args);  // what the parser added
    if (session == nullptr || fuse_session_mount(session, SENSORS_DIR) != 0) {
        fail(1, "cannot mount the sensor files on %s\n", SENSORS_DIR);
    }
    return session;
}

// In the child: the user's identity, then the signal that ends the command
// with us. Changing the user clears that signal, so it comes after, and a
// parent already gone by then is caught by its pid.
[[noreturn]] static void run_command(char **command, const struct passwd *user, pid_t parent)
{
    if (user != nullptr && (initgroups(user->pw_name, user->pw_gid) == -1 || setgid(user->pw_gid) == -1 ||
                            setuid(user->pw_uid) == -1)) {
        say("cannot become %s: %s\n", user->pw_name, strerror(errno));
        _exit(126);
    }
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != parent)
        _exit(1);
    execvp(command[0], command);
    say("cannot run %s: %s\n", command[0], strerror(errno));
    _exit(127);
}

// Answers each request as it comes and passes signals on; gives the
// command's exit status when it ends.
static int serve(struct fuse_session *session, int signals, pid_t child)
{
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
    return status;
}

// Starts the command with no signal blocked; those passed on to it wait
// in *signals for the loop. Gives its pid, or -1.
static pid_t start_command(char **command, const struct passwd *user, int *signals)
{
    sigset_t handled;
    sigset_t original;
    sigemptyset(&handled);
    const int handled_signals[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP};
    for (int signal_number : handled_signals)
        sigaddset(&handled, signal_number);
    sigprocmask(SIG_BLOCK, &handled, &original);
    *signals = signalfd(-1, &handled, SFD_CLOEXEC);
    pid_t parent = getpid();
    pid_t child = *signals == -1 ? -1 : fork();
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &original, nullptr);
        run_command(command, user, parent);
    }
    if (child == -1)
        say("cannot start %s: %s\n", command[0], strerror(errno));
    return child;
}

int main(int argc, char **argv)
{
    set_program("statpipe-hwmon", USAGE);
    const char *user_name = nullptr;
    int command = parse_command_line(argc, argv, &user_name);
    const struct passwd *user = nullptr;
    // cppcheck-suppress getpwnamCalled ; one thread, before the fork
    if (user_name != nullptr && (user = getpwnam(user_name)) == nullptr)
        fail(1, "no user %s\n", user_name);
    find_sensors();
    prepare_mount_point();
    struct fuse_session *session = mount_sensor_files(argv[0]);
    int signals = -1;
    pid_t child = start_command(argv + command, user, &signals);
    int status = child == -1 ? 1 : serve(session, signals, child);
    fuse_session_unmount(session);
    fuse_session_destroy(session);
    return status;
}
