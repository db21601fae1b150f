// numberrecv: prints the 4-byte integer records that arrive through a FIFO
// until every writer has closed it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

int main(int argc, char* argv[])
{
    if (argc != 2)
        die("...");

    // Waits here until a writer opens the FIFO.
    int fifo = open(argv[1], O_RDONLY);
    if (fifo == -1)
        die("...");

    int record = 0;
    size_t have = 0;  // bytes of `record` read so far
    for (;;) {
        // A record may come in pieces (a writer that splits its writes, or
        // several writers): it is printed only once all four bytes are in.
        ssize_t got = read(fifo, reinterpret_cast<char*>(&record) + have, sizeof record - have);
        if (got == -1)
            die("...");
        if (got == 0)
            break;
        have += got;
        if (have == sizeof record) {
            printf("Number received: %d\n", record);
            have = 0;
        }
    }
    // The stream ended inside a record: its bytes are no number.
    if (have > 0) {
        errno = EIO;
        die("...");
    }

    close(fifo);
    // A result that never reached standard output is no success: the last
    // buffered bytes go out here, and an earlier failed write left its mark.
    if (fflush(stdout) == EOF || ferror(stdout))
        die("...");
    return 0;
}
