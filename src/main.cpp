// SPDX-License-Identifier: MIT
// statpipe: samples the device's status readings into a named pipe.
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "statpipe.h"

static const char DEFAULT_PIPE[] = "/tmp/harddisk/quorvath/share/okrin_pipe";

// An init system may start us with 0, 1 or 2 closed; the pipe must never
// land on 2, or every diagnostic would go into the record stream.
// Where /dev/null cannot be opened, move_above_standard() still keeps it off.
static void ensure_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        int opened = open("/dev/null", O_RDWR);
        if (opened > 2)  // descriptor fd was open after all
            close(opened);
    }
}

// Gives fd itself, or a copy of it above 2 with fd closed; -1 on failure.
static int move_above_standard(int fd)
{
    if (fd == -1 || fd > 2)
        return fd;
    int moved = fcntl(fd, F_DUPFD, 3);
    close(fd);
    return moved;
}

static bool is_fifo(const struct stat &st)
{
    return S_ISFIFO(st.st_mode);
}

int main(int argc, char **argv)
{
    const char *named_pipe = DEFAULT_PIPE;
    uint8_t base_address = 0;

    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        diagnose("Usage: %s [ named_pipe [ base_address ] ]\n", argv[0]);
        return 0;
    }

    ensure_standard_descriptors();
    (void)signal(SIGPIPE, SIG_IGN);  // cannot fail: a valid signal and SIG_IGN

    if (argc > 1)
        named_pipe = argv[1];
    if (argc > 2)
        base_address = parse_base_address(argv[2]);

    struct stat st;
    if (lstat(named_pipe, &st) == -1 || !is_fifo(st)) {
        diagnose("Unable to locate FIFO file at %s\n", named_pipe);
        return 1;
    }

    // Blocks until a reader opens the pipe. O_NOFOLLOW and the fstat close
    // the window in which a link or another file could replace the FIFO.
    int pipe_fd = move_above_standard(open(named_pipe, O_WRONLY | O_NOFOLLOW | O_NOCTTY));
    if (pipe_fd == -1) {
        diagnose("Cannot open FIFO file %s\n", named_pipe);
        return 1;
    }
    if (fstat(pipe_fd, &st) == -1 || !is_fifo(st)) {
        diagnose("Unable to locate FIFO file at %s\n", named_pipe);
        close(pipe_fd);
        return 1;
    }

    sensor_device fan = {-1, FAN_PATH};
    sensor_device temperature = {-1, TEMPERATURE_PATH};
    open_sensor_devices(&fan, &temperature);

    switch (run_sampling_loop(pipe_fd, base_address, &fan, &temperature)) {
    case LOOP_SNAPSHOT_FAILED:
        diagnose("Unable to read system statistics\n");
        break;
    case LOOP_WRITE_FAILED:
        diagnose("Cannot write to FIFO file %s\n", named_pipe);
        break;
    }
    return 1;
}
