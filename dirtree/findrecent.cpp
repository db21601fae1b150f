// findrecent: the files of a tree modified in the last seven days, found with nftw.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// The one instant every file is judged against, set before the walk.
static time_t now;

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

// The whole days from `then` to `later`, negative when `then` comes after it.
// tmpfs keeps any 64-bit time, so the difference may overflow a signed 64-bit
// subtraction; its size always fits 64 unsigned bits, and the days fit a
// signed 64-bit count again.
static int64_t wholeDays(time_t later, time_t then)
{
    if (later >= then)
        return static_cast<int64_t>((static_cast<uint64_t>(later) - static_cast<uint64_t>(then)) / 86400);
    return -static_cast<int64_t>((static_cast<uint64_t>(then) - static_cast<uint64_t>(later)) / 86400);
}

// Prints the entry's own name when it is a file modified less than seven
// whole days before `now`, or after it. Returns 0, so the walk goes on,
// or -1 on a path longer than PATH_MAX.
static int processFile(const char* fpath, const struct stat* sb, int typeflag, struct FTW* ftwbuf)
{
    // The walk takes one more level of stack for every level of the tree: a
    // tree thousands of levels deep, which anyone may make, would overflow
    // it. The walk stops long before, as a failed walk.
    if (strlen(fpath) > PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (typeflag != FTW_F)
        return 0;
    int64_t days = wholeDays(now, sb->st_mtime);
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
        die("printf");
    return 0;
}
