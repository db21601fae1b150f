// seeksize2: a file's size as the offset that a seek to its end returns, read-only open.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The message alone, and one message for every failure.
[[noreturn]] static void die(const char* message)
{
    fprintf(stderr, "%s\n", message);
    exit(1);
}

int main(int argc, char* argv[])
{
    if (argc != 2)
        die("...");

    // Read-only: a FIFO's open waits here until a writer comes.
    int fd = open(argv[1], O_RDONLY);
    if (fd == -1)
        die("...");

    // No status record: the end's offset is the apparent size, holes included.
    off_t size = lseek(fd, 0, SEEK_END);
    if (size == -1)
        die("...");

    printf("File size: %jd\n", static_cast<intmax_t>(size));
    close(fd);
    // A result that never reached standard output is no success: the last
    // buffered bytes go out here, and an earlier failed write left its mark.
    if (fflush(stdout) == EOF || ferror(stdout))
        die("...");
    return 0;
}
