// relocate2: a move by copy through a 1024-byte buffer, its source descriptor left to the exit.
#include <fcntl.h>
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
// destination, open for writing, and a message on standard error would land in
// the file. /dev/null takes its place, opened the other way (write-only for
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

// Writes all `count` bytes, however many calls that takes.
static void writeAll(int fd, const char* bytes, size_t count)
{
    while (count > 0) {
        ssize_t written = write(fd, bytes, count);
        if (written == -1 && errno == EINTR)
            continue;
        if (written == -1)
            die("...");
        bytes += written;
        count -= written;
    }
}

int main(int argc, char* argv[])
{
    keepStandardDescriptors();
    if (argc != 3)
        die("...");

    char* sourcePath = realpath(argv[1], nullptr);
    if (sourcePath == nullptr)
        die("...");
    // A destination that does not exist yet has no canonical path: nothing to compare.
    char* destinationPath = realpath(argv[2], nullptr);
    if (destinationPath != nullptr && strcmp(destinationPath, sourcePath) == 0) {
        errno = 0;  // no call failed; realpath may have left a stale error behind
        die("isti fajl");
    }
    free(destinationPath);
    free(sourcePath);

    // Only regular files are moved, so O_NONBLOCK changes nothing for the
    // copy; it keeps the opens of a FIFO from waiting, as O_NOCTTY keeps a
    // terminal from becoming ours. A socket cannot be opened at all (ENXIO),
    // nor a FIFO for writing while it has no reader: special files, refused
    // with EINVAL like the others, before a byte is written.
    int source = open(argv[1], O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (source == -1) {
        if (errno == ENXIO)
            errno = EINVAL;
        die("...");
    }
    // The source is known before the destination is touched: a directory
    // would fail only at the first read, after the destination was emptied.
    struct stat sourceStat;
    if (fstat(source, &sourceStat) == -1)
        die("...");
    if (S_ISDIR(sourceStat.st_mode)) {
        errno = EISDIR;
        die("...");
    }
    if (!S_ISREG(sourceStat.st_mode)) {
        errno = EINVAL;
        die("...");
    }

    // Private until its mode is set. The name is replaced, never written
    // through: a symbolic link there fails (ELOOP). No O_TRUNC yet: a hard
    // link or a bind mount is the source under another path, and emptying
    // it would lose it.
    int destination = open(argv[2], O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    if (destination == -1) {
        if (errno == ENXIO)
            errno = EINVAL;
        die("...");
    }
    struct stat destinationStat;
    if (fstat(destination, &destinationStat) == -1)
        die("...");
    if (destinationStat.st_dev == sourceStat.st_dev &&
        destinationStat.st_ino == sourceStat.st_ino) {
        errno = 0;
        die("isti fajl");
    }
    if (!S_ISREG(destinationStat.st_mode)) {
        errno = EINVAL;
        die("...");
    }
    // Another user's file would stay theirs, copy and all: they could read
    // it, keep it open and change it.
    if (destinationStat.st_uid != geteuid()) {
        errno = EACCES;
        die("...");
    }
    // Known to be another file of our own, it may now be emptied.
    if (ftruncate(destination, 0) == -1)
        die("...");

    char buffer[1024];
    for (;;) {
        ssize_t got = read(source, buffer, sizeof buffer);
        if (got == -1 && errno == EINTR)
            continue;
        if (got == -1)
            die("...");
        if (got == 0)
            break;
        writeAll(destination, buffer, got);
    }
    // The mode goes with the descriptor, set-user-ID, set-group-ID and sticky
    // bits included: by name, it would follow whatever the name had become.
    if (fchmod(destination, sourceStat.st_mode & 07777) == -1)
        die("...");
    // The source stays open until the process exits. The copy is closed
    // now: a write error the writes did not show (a full quota, a network
    // file system, a failing disk) may surface only here, and the source
    // must then stay.
    if (close(destination) == -1)
        die("...");

    // Only a complete copy lets the old name go.
    if (unlink(argv[1]) == -1)
        die("...");
    return 0;
}
