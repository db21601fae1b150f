// permswap: exchange a file's group and other permissions, bit by bit, with stat and chmod.
#include <sys/stat.h>

#include <cstdint>
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

    // stat follows a symbolic link: the target is read, and changed below.
    struct stat st;
    if (stat(argv[1], &st) == -1)
        die("...");

    // Only the nine permission bits are carried; the set-id and sticky bits
    // are never set, so chmod clears them.
    uint32_t newMode = 0;
    if (st.st_mode & S_IRUSR) newMode |= S_IRUSR;
    if (st.st_mode & S_IWUSR) newMode |= S_IWUSR;
    if (st.st_mode & S_IXUSR) newMode |= S_IXUSR;
    if (st.st_mode & S_IRGRP) newMode |= S_IROTH;
    if (st.st_mode & S_IWGRP) newMode |= S_IWOTH;
    if (st.st_mode & S_IXGRP) newMode |= S_IXOTH;
    if (st.st_mode & S_IROTH) newMode |= S_IRGRP;
    if (st.st_mode & S_IWOTH) newMode |= S_IWGRP;
    if (st.st_mode & S_IXOTH) newMode |= S_IXGRP;

    if (chmod(argv[1], newMode) == -1)
        die("...");
    return 0;
}
