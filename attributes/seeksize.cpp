// seeksize: a file's size as the offset that a seek to its end returns, read and write open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The message alone: a missing file and a refused permission look the same.
[[noreturn]] static void die(const char* message)
{
    fprintf(stderr, "%s\n", message);
    exit(1);
}

// A standard descriptor left closed would be the next one opened: here the
// file, open for reading and writing, and the size line or a message would be
// written into it. /dev/null takes its place, opened the other way (write-only
// for input, read-only for output), so that it fails as the closed one did.
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
        if (!S_ISCHR(opened.st_mode))
            die("...");
    }
}

int main(int argc, char* argv[])
{
    keepStandardDescriptors();
    if (argc != 2)
        die("argumenti");

    // Opened for writing too, so a file the user may only read is refused.
    int fd = open(argv[1], O_RDWR);
    if (fd == -1)
        die("open");

    // No status record: the end's offset is the apparent size, holes included.
    off_t size = lseek(fd, 0, SEEK_END);
    if (size == -1)
        die("lseek");

    printf("File size: %jd\n", static_cast<intmax_t>(size));
    close(fd);
    // A result that never reached standard output is no success: the last
    // buffered bytes go out here, and an earlier failed write left its mark.
    if (fflush(stdout) == EOF || ferror(stdout))
        die("printf");
    return 0;
}
