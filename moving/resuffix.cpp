// resuffix: change a file's last suffix by copying it to the new name and removing the old one.
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

// A standard descriptor left closed would be the next one opened: here the new
// name, open for writing, and a message on standard error would land in the
// file. /dev/null takes its place, opened the other way (write-only for input,
// read-only for output), so that it fails as the closed one did.
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

// Anything but a regular file is refused, with the error text of its kind.
static void requireRegular(const struct stat& status)
{
    if (S_ISREG(status.st_mode))
        return;
    errno = S_ISDIR(status.st_mode) ? EISDIR : S_ISLNK(status.st_mode) ? ELOOP : EINVAL;
    die("...");
}

// A name may have become a special file since it was looked at: O_NONBLOCK
// keeps a FIFO's open from waiting, O_NOCTTY keeps a terminal from becoming
// ours, and the ENXIO of a socket or of a FIFO without a reader is reported
// as the EINVAL of the other special files.
static int openFile(int folder, const char* name, int flags)
{
    int fd = openat(folder, name, flags | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd == -1 && errno == ENXIO)
        errno = EINVAL;
    return fd;
}

// Writes all `count` bytes, however many calls that takes.
static void writeAll(int fd, const char* bytes, size_t count)
{
    while (count > 0) {
        ssize_t written = write(fd, bytes, count);
        if (written == -1 && errno == EINTR)
            continue;
        if (written == -1)
            die("....");
        bytes += written;
        count -= written;
    }
}

int main(int argc, char* argv[])
{
    keepStandardDescriptors();
    if (argc != 3)
        die("...");

    // The last '.' of the whole path, even one in a directory's name.
    const char* dot = strrchr(argv[1], '.');
    if (dot == nullptr)
        die("...");
    size_t stemLength = dot - argv[1];
    size_t suffixLength = strlen(argv[2]);
    // stem + '.' + suffix + NUL
    char* newName = static_cast<char*>(malloc(stemLength + 1 + suffixLength + 1));
    if (newName == nullptr)
        die("...");
    memcpy(newName, argv[1], stemLength + 1);  // the stem and its '.'
    memcpy(newName + stemLength + 1, argv[2], suffixLength + 1);

    // The source is looked at, opened and removed through its directory as
    // opened now, so that a directory on its path swapped for a symbolic link
    // leads none of this elsewhere.
    const char* slash = strrchr(argv[1], '/');
    // A name ending in a slash (a directory's, refused below) is looked up whole.
    bool bare = slash == nullptr || slash[1] == '\0';
    // "/x" lies in "/", "a//b" in "a/".
    char* folderPath = bare ? strdup(".") : strndup(argv[1], slash == argv[1] ? 1 : slash - argv[1]);
    if (folderPath == nullptr)
        die("...");
    // O_PATH asks for no more than the search permission a path needs.
    int folder = open(folderPath, O_PATH | O_DIRECTORY);
    if (folder == -1)
        die("...");
    free(folderPath);
    const char* sourceName = bare ? argv[1] : slash + 1;
    // The name itself, a symbolic link not followed: what it must still be at the end.
    struct stat nameStat;
    if (fstatat(folder, sourceName, &nameStat, AT_SYMLINK_NOFOLLOW) == -1)
        die("...");

    // Each name is looked at before it is opened: opening a special file to
    // refuse it would wake a process at a FIFO's other end, or rewind a tape.
    // The file is known before the new name is touched.
    struct stat sourceStat;
    if (fstatat(folder, sourceName, &sourceStat, 0) == -1)
        die("...");
    requireRegular(sourceStat);
    int source = openFile(folder, sourceName, O_RDONLY);
    if (source == -1)
        die("...");
    // The name may have changed since: what was opened is what counts.
    if (fstat(source, &sourceStat) == -1)
        die("...");
    requireRegular(sourceStat);
    // The suffix asked for is the one it has: the file is where it belongs.
    if (strcmp(newName, argv[1]) == 0) {
        close(source);
        close(folder);
        free(newName);
        return 0;
    }

    // The new name is replaced, never written through: a symbolic link there
    // is refused (ELOOP).
    struct stat destinationStat;
    if (lstat(newName, &destinationStat) == 0)
        requireRegular(destinationStat);
    else if (errno != ENOENT)
        die("...");
    // Created private until its mode is set, or else the existing file opened,
    // so that the program knows which it has. No O_TRUNC: the new name may be
    // another link to this very file, and emptying it would lose it.
    bool created = true;
    int destination = openFile(AT_FDCWD, newName, O_WRONLY | O_CREAT | O_EXCL);
    if (destination == -1 && errno == EEXIST) {
        created = false;
        destination = openFile(AT_FDCWD, newName, O_WRONLY | O_NOFOLLOW);
    }
    if (destination == -1)
        die("...");
    if (fstat(destination, &destinationStat) == -1)
        die("...");
    if (destinationStat.st_dev == sourceStat.st_dev &&
        destinationStat.st_ino == sourceStat.st_ino) {
        errno = 0;  // no call failed
        die("...");
    }
    requireRegular(destinationStat);
    // Another user's file would stay theirs, copy and all: they could read
    // it, keep it open and change it. A file the move created is its own,
    // whatever owner the file system reports (vfat's uid=, a squashed NFS).
    if (!created && destinationStat.st_uid != geteuid()) {
        errno = EACCES;
        die("...");
    }
    // Private before it is emptied: a copy that fails halfway shows no one its part.
    if (fchmod(destination, 0600) == -1)
        die("...");
    if (ftruncate(destination, 0) == -1)
        die("...");

    char buffer[256];
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
    // A move gives no one else's program a set-user-ID or set-group-ID bit:
    // root gives the copy the source's owner and group, and anyone else's
    // copy keeps such a bit only where it has the source's owner or group.
    mode_t mode = sourceStat.st_mode & 07777;
    if (geteuid() == 0) {
        if (fchown(destination, sourceStat.st_uid, sourceStat.st_gid) == -1)
            die("...");
    } else {
        if (destinationStat.st_uid != sourceStat.st_uid)
            mode &= ~S_ISUID;
        if (destinationStat.st_gid != sourceStat.st_gid)
            mode &= ~S_ISGID;
    }
    // The mode goes with the descriptor, set-user-ID, set-group-ID and sticky
    // bits included: by name, it would follow whatever the name had become.
    if (fchmod(destination, mode) == -1)
        die("...");
    close(source);
    // A write error the writes did not show (a full quota, a network file
    // system, a failing disk) may surface only here: the source must stay.
    if (close(destination) == -1)
        die("...");

    // Only a complete copy lets the old name go, and only while the name is
    // still what it was at the start: a file put in its place stays.
    struct stat nameNow;
    if (fstatat(folder, sourceName, &nameNow, AT_SYMLINK_NOFOLLOW) == -1)
        die("...");
    if (nameNow.st_dev != nameStat.st_dev || nameNow.st_ino != nameStat.st_ino) {
        errno = ESTALE;
        die("...");
    }
    if (unlinkat(folder, sourceName, 0) == -1)
        die("...");
    close(folder);
    free(newName);
    return 0;
}
