// fdmodes: a descriptor's access mode, read with fcntl, decides a write; F_SETFL cannot change it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr char text[] = "Mogu da pisem\n";  // 14 bytes, written without its NUL
constexpr char workFile[] = "1.txt";         // in the current directory

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

// Standard output or error left closed would be the next one opened, and a
// message printed through it would land in 1.txt: /dev/null, read-only, takes
// its place, so that a print through it fails as the closed one did.
static void keepOutputDescriptors()
{
    for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; fd++) {
        // F_GETFD fails only where no descriptor is open.
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        // Neither waits, were a FIFO put in its place, nor makes a terminal
        // ours; only the null device itself may stand in.
        if (open("/dev/null", O_RDONLY | O_NONBLOCK | O_NOCTTY) != fd)
            die("....");
        struct stat opened;
        if (fstat(fd, &opened) == -1)
            die("....");
        if (!S_ISCHR(opened.st_mode)) {
            errno = ENODEV;
            die("....");
        }
    }
}

// Writes the whole text, however many calls that takes.
static void writeText(int fd)
{
    const char* bytes = text;
    size_t count = strlen(text);
    while (count > 0) {
        ssize_t written = write(fd, bytes, count);
        if (written == -1 && errno == EINTR)
            continue;
        if (written == -1)
            die("write");
        bytes += written;
        count -= written;
    }
}

int main()
{
    // Standard input gets the text only if it was opened for writing too.
    int flags = fcntl(STDIN_FILENO, F_GETFL);
    if (flags == -1)
        die("fcntl");
    // The flags hold more than the access mode (O_LARGEFILE, O_APPEND...).
    int accessMode = flags & O_ACCMODE;
    if (accessMode == O_WRONLY || accessMode == O_RDWR)
        writeText(STDIN_FILENO);

    // Standard input was looked at as it came, closed or not; the outputs
    // are kept from taking the number of 1.txt.
    keepOutputDescriptors();
    // Created if missing; an existing file is neither emptied nor appended
    // to, so only its first 28 bytes change.
    int fd = open(workFile, O_WRONLY | O_CREAT, 0666);
    if (fd == -1)
        die("....");
    writeText(fd);

    flags = fcntl(fd, F_GETFL);
    if (flags == -1)
        die("....");
    // Without the O_WRONLY bit the flags say read-only, but F_SETFL leaves
    // the access mode alone: the call succeeds and nothing changes.
    if (fcntl(fd, F_SETFL, flags & ~O_WRONLY) == -1)
        die("...");
    // The proof: a write through the same descriptor still succeeds.
    writeText(fd);
    close(fd);
    return 0;
}
