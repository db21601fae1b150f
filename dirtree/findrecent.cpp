// findrecent: the files of a tree modified in the last seven days, found with nftw.
#include <ftw.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

// The one instant every file is judged against, set before the walk.
static time_t now;

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

// Prints the entry's own name when it is a file modified less than seven
// whole days before `now`, or after it. Returns 0, so the walk always goes on.
static int processFile(const char* fpath, const struct stat* sb, int typeflag, struct FTW* ftwbuf)
{
    if (typeflag != FTW_F)
        return 0;
    // The difference is taken in 128 bits: tmpfs keeps any 64-bit time, and
    // one that far back would overflow a 64-bit subtraction. The whole days
    // fit in 64 bits again.
    int64_t days = static_cast<int64_t>((static_cast<__int128>(now) - sb->st_mtime) / 86400);
    if (days <= 6)
        puts(fpath + ftwbuf->base);
    return 0;
}

int main(int argc, char* argv[])
{
    if (argc != 2)
        die("argumenti");

    struct stat st;
    if (stat(argv[1], &st) == -1)
        die("stat");
    if ((st.st_mode & S_IFMT) != S_IFDIR)
        die("nije dir");

    // time cannot fail when given no place to store the time.
    now = time(nullptr);
    // Flags 0: links followed, each directory before its contents, mounts
    // crossed, the working directory left alone.
    if (nftw(argv[1], processFile, 50, 0) == -1)
        die("nftw");
    // A result that never reached standard output is no success: the last
    // buffered bytes go out here, and an earlier failed write left its mark.
    if (fflush(stdout) == EOF || ferror(stdout))
        die("...");
    return 0;
}
