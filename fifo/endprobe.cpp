// endprobe: tells whether some process holds a FIFO open for reading or for
// writing, from non-blocking opens of its own, without waiting and without
// taking anything out of it.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

// A standard descriptor left closed would be the next one opened: here the
// FIFO's write end, held for an instant, which no byte of the probe's own may
// ever reach. /dev/null takes its place, opened the other way (write-only for
// input, read-only for output), so that it fails as the closed one did.
static void keepStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        // F_GETFD fails only where no descriptor is open.
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        // Neither waits, were a FIFO put in its place, nor makes a terminal
        // ours; only the null device itself may stand in.
        int flags = (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_NOCTTY;
        if (open("/dev/null", flags) != fd)
            die("...");
        struct stat opened;
        if (fstat(fd, &opened) == -1)
            die("...");
        if (!S_ISCHR(opened.st_mode)) {
            errno = ENODEV;
            die("...");
        }
    }
}

// 1 when some process holds `path` open for reading: only then may a writer
// open a FIFO without waiting. 0 when none does.
static int checkReadEnd(const char* path)
{
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY);
    if (fd != -1) {
        close(fd);
        return 1;
    }
    if (errno == ENXIO)
        return 0;
    die("...");
}

// Whether a writer holds the FIFO whose read end is `readEnd` while bytes
// wait in it. The read end polls POLLHUP for "no writer" only once some
// writer has come and gone since it was opened: a write end of our own,
// opened and closed at once, is that writer.
static bool writerHolds(const char* path, int readEnd)
{
    int writeEnd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY);
    if (writeEnd == -1)
        die("....");
    close(writeEnd);
    pollfd end = {readEnd, POLLIN, 0};
    if (poll(&end, 1, 0) == -1)
        die("....");
    return (end.revents & POLLHUP) == 0;
}

// 0 when some process holds `path` open for writing, 1 when none does.
static int checkWriteEnd(const char* path)
{
    // A socket cannot be opened at all (ENXIO): refused as a device is, below.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd == -1 && errno == ENXIO) {
        errno = EINVAL;
        die("....");
    }
    if (fd == -1)
        die("...");
    struct stat st;
    if (fstat(fd, &st) == -1)
        die("....");
    // A read of a regular file or a directory through our own descriptor
    // takes nothing from anyone; one of a terminal or another device would
    // take what was meant for its own reader.
    bool isPipe = S_ISFIFO(st.st_mode);
    if (!isPipe && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        errno = EINVAL;
        die("....");
    }

    // tee copies into a pipe of our own what a one-byte read would return,
    // and the byte stays in the FIFO for its reader.
    int copy[2];
    if (pipe(copy) == -1)
        die("....");
    ssize_t got;
    char byte;
    if (isPipe)
        got = tee(fd, copy[1], 1, SPLICE_F_NONBLOCK);
    else
        got = read(fd, &byte, 1);

    int result;
    if (got == -1 && errno == EAGAIN)
        result = 0;  // empty, and a writer holds it
    else if (got == -1)
        die("....");
    else if (got > 0 && isPipe)
        result = writerHolds(path, fd) ? 0 : 1;  // bytes waiting
    else
        result = 1;
    close(copy[0]);
    close(copy[1]);
    close(fd);
    return result;
}

int main(int argc, char* argv[])
{
    keepStandardDescriptors();
    if (argc != 3)
        die("...");
    if (strcmp(argv[1], "-r") == 0)
        printf("Otvoren za citanje: %s\n", checkReadEnd(argv[2]) == 1 ? "yes" : "no");
    else if (strcmp(argv[1], "-w") == 0)
        printf("Otvoren za pisanje: %s\n", checkWriteEnd(argv[2]) == 0 ? "yes" : "no");
    else
        die("...");
    // A result that never reached standard output is no success: the last
    // buffered bytes go out here, and an earlier failed write left its mark.
    if (fflush(stdout) == EOF || ferror(stdout))
        die("...");
    return 0;
}
