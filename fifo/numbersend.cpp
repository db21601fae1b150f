// numbersend: sends pseudo-random numbers into a FIFO, one 4-byte record per
// write, for as long as the user asks for another.
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

// A record is the memory image of an int; the reader counts on four bytes.
static_assert(sizeof(int) == 4);

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

// A standard descriptor left closed would be the next one opened: here the
// FIFO's write end, and a number line, a prompt or a message would reach the
// reader as records. /dev/null takes its place, opened the other way
// (write-only for input, read-only for output), so that it fails as the closed
// one did.
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

// Ends with EEXIST unless `st` describes a FIFO, and with EACCES unless it is
// the caller's own: whatever else has the name is not ours to write into or
// remove, and another user's FIFO leads to that user's reader.
static void requireOwnFifo(const struct stat& st)
{
    if (!S_ISFIFO(st.st_mode)) {
        errno = EEXIST;
        die("....");
    }
    if (st.st_uid != geteuid()) {
        errno = EACCES;
        die("....");
    }
}

int main(int argc, char* argv[])
{
    keepStandardDescriptors();
    if (argc != 2)
        die("...");
    // Every line goes out as it is printed, also into a pipe: the number line
    // before its record is written, a prompt before the answer is awaited.
    // With a valid mode and no buffer of ours, setvbuf cannot fail.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // A FIFO of our own left by an earlier run is reused; nothing else is opened.
    if (mkfifo(argv[1], 0660) == -1) {
        if (errno != EEXIST)
            die("....");
        struct stat found;
        if (stat(argv[1], &found) == -1)
            die("....");
        requireOwnFifo(found);
    }

    // Waits here until a reader opens the FIFO. No O_TRUNC: it does nothing
    // to a FIFO, and would empty a file put in the FIFO's place since the
    // check; the check is made again on what was opened.
    int fifo = open(argv[1], O_WRONLY);
    if (fifo == -1)
        die("...");
    struct stat opened;
    if (fstat(fifo, &opened) == -1)
        die("...");
    requireOwnFifo(opened);

    // A write after the reader has gone fails with EPIPE instead of ending
    // the process without a word.
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        die("....");
    srand(static_cast<unsigned>(time(nullptr)));

    char answer[256];
    static_assert(sizeof answer == 256, "the width in the read is sizeof answer - 1");
    for (;;) {
        int number = rand();
        printf("Number sent: %d\n", number);
        // No record goes out whose line was lost.
        if (fflush(stdout) == EOF || ferror(stdout))
            die("....");
        // One write per record: the system keeps a pipe write this small whole.
        if (write(fifo, &number, sizeof number) == -1)
            die("....");
        puts("Send another number: (yes|no)");
        // A line that could not be written leaves its mark on the stream.
        if (fflush(stdout) == EOF || ferror(stdout))
            die("....");
        // The end of the input ends the sending as "no" does, but input
        // that cannot be read is a failure; the rest of a word longer than
        // the buffer is read as the next answer.
        if (scanf("%255s", answer) != 1) {
            if (ferror(stdin))
                die("...");
            break;
        }
        if (strcasecmp(answer, "no") == 0)
            break;
    }

    // The session may have lasted hours: the name goes only while it still
    // names the FIFO that was opened, never a file that took it since (nor a
    // symbolic link under it). Compared while the FIFO is open, its inode
    // cannot have been handed to such a file yet.
    struct stat named;
    bool gone = lstat(argv[1], &named) == -1;
    if (gone && errno != ENOENT)
        die("...");
    bool stillOurs = !gone && named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
    close(fifo);
    if (stillOurs && unlink(argv[1]) == -1)
        die("...");
    return 0;
}
