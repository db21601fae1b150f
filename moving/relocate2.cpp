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

    int source = open(argv[1], O_RDONLY);
    if (source == -1)
        die("...");
    // The source is known before the destination is touched: a directory
    // would fail only at the first read, after the destination was emptied.
    struct stat sourceStat;
    if (fstat(source, &sourceStat) == -1)
        die("...");
    if (S_ISDIR(sourceStat.st_mode)) {
        errno = EISDIR;
        die("...");
    }

    // Private until the final chmod. No O_TRUNC yet: a hard link or a bind
    // mount is the source under another path, and emptying it would lose it.
    int destination = open(argv[2], O_WRONLY | O_CREAT, 0600);
    if (destination == -1)
        die("...");
    struct stat destinationStat;
    if (fstat(destination, &destinationStat) == -1)
        die("...");
    if (destinationStat.st_dev == sourceStat.st_dev &&
        destinationStat.st_ino == sourceStat.st_ino) {
        errno = 0;
        die("isti fajl");
    }
    // Known to be another file, it may now be emptied; like O_TRUNC, this
    // leaves devices and pipes alone.
    if (S_ISREG(destinationStat.st_mode) && ftruncate(destination, 0) == -1)
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
    // The source stays open until the process exits. The copy is closed
    // now: a write error the writes did not show (a full quota, a network
    // file system, a failing disk) may surface only here, and the source
    // must then stay.
    if (close(destination) == -1)
        die("...");

    // Only a complete copy lets the old name go.
    if (unlink(argv[1]) == -1)
        die("...");
    // Permission bits with the set-user-ID, set-group-ID and sticky bits.
    if (chmod(argv[2], sourceStat.st_mode & 07777) == -1)
        die("...");
    return 0;
}
