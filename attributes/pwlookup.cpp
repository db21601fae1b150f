// pwlookup: one account of the password database, looked up by login name with getpwnam.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <type_traits>

// Ids are unsigned: printed with %d, one of 2^31 or more would show negative.
static_assert(std::is_same_v<uid_t, unsigned int> && std::is_same_v<gid_t, unsigned int>,
              "ids are printed with %u");

// The message alone: a name without an entry and a failing database look the same.
[[noreturn]] static void die(const char* message)
{
    fprintf(stderr, "%s\n", message);
    exit(1);
}

// A standard descriptor left closed would be the next one opened: here
// whatever the password database opens (a file, a socket to a lookup service),
// and the account's lines or a message would go there. /dev/null takes its
// place, opened the other way (write-only for input, read-only for output), so
// that it fails as the closed one did.
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

    // The entry belongs to the library, valid until the next lookup: read, never freed.
    struct passwd* entry = getpwnam(argv[1]);
    if (entry == nullptr)
        die("getpwnam");

    printf("User name: %s\n", entry->pw_name);
    printf("User ID: %u\n", entry->pw_uid);
    printf("Group ID: %u\n", entry->pw_gid);
    printf("User info: %s\n", entry->pw_gecos);
    printf("Home directory: %s\n", entry->pw_dir);
    printf("Shell: %s\n", entry->pw_shell);
    // A result that never reached standard output is no success: the last
    // buffered bytes go out here, and an earlier failed write left its mark.
    if (fflush(stdout) == EOF || ferror(stdout))
        die("printf");
    return 0;
}
