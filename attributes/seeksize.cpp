// seeksize: a file's size as the offset that a seek to its end returns, read and write open.
#include <fcntl.h>
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

// A standard descriptor left closed would be the next one opened, and what is
// printed or read through it would reach that file: /dev/null takes its
// place, opened the other way (write-only for input, read-only for output),
// so that it fails as the closed one did.
static void keepStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        // F_GETFD fails only where no descriptor is open.
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        if (open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) != fd)
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
