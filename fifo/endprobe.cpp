// endprobe: tells whether some process holds a FIFO open for reading or for
// writing, from non-blocking opens of its own, without waiting and without
// taking anything out of it.
#include <fcntl.h>
#include <poll.h>
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

// 1 when some process holds `path` open for reading: only then may a writer
// open a FIFO without waiting. 0 when none does.
static int checkReadEnd(const char* path)
{
    int fd = open(path, O_WRONLY | O_NONBLOCK);
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
    int writeEnd = open(path, O_WRONLY | O_NONBLOCK);
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
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd == -1)
        die("...");

    // tee copies into a pipe of our own what a one-byte read would return,
    // and the byte stays in the FIFO for its reader.
    int copy[2];
    if (pipe(copy) == -1)
        die("....");
    ssize_t got = tee(fd, copy[1], 1, SPLICE_F_NONBLOCK);
    bool isPipe = !(got == -1 && errno == EINVAL);
    // Not a pipe (a regular file, a directory): a read of our own
    // descriptor takes nothing from anyone.
    char byte;
    if (!isPipe)
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
