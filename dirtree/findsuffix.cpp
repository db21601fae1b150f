// findsuffix: the files of a tree whose name ends in a given suffix, found with nftw.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The wanted suffix: the walk hands its callback no room for it.
static const char* ext;

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

// Prints the entry's own name when it is a file whose text after the last
// "." is exactly `ext`. Returns 0, so the walk goes on,
// or -1 on a path longer than PATH_MAX.
static int processFile(const char* fpath, const struct stat*, int typeflag, struct FTW* ftwbuf)
{
    // The walk takes one more level of stack for every level of the tree: a
    // tree thousands of levels deep, which anyone may make, would overflow
    // it. The walk stops long before, as a failed walk.
    if (strlen(fpath) > PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // Directories, unreadable entries and dangling links are passed over.
    if (typeflag != FTW_F)
        return 0;
    const char* name = fpath + ftwbuf->base;
    const char* dot = strrchr(name, '.');
    if (dot != nullptr && strcmp(dot + 1, ext) == 0)
        puts(name);
    return 0;
}

int main(int argc, char* argv[])
{
    if (argc != 3)
        die("...");

    struct stat st;
    if (stat(argv[1], &st) == -1)
        die("....");
    if ((st.st_mode & S_IFMT) != S_IFDIR)
        die("...");

    ext = argv[2];
    // Flags 0: links followed, each directory before its contents, mounts
    // crossed, the working directory left alone.
    if (nftw(argv[1], processFile, 50, 0) == -1)
        die("...");
    // A result that never reached standard output is no success: the last
    // buffered bytes go out here, and an earlier failed write left its mark.
    if (fflush(stdout) == EOF || ferror(stdout))
        die("...");
    return 0;
}
