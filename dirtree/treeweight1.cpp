// treeweight1: the size of a directory tree, walked by changing into each directory.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

// Adds the size of `path` (relative to the working directory) and of
// everything below it to `total`, printing every directory and entry.
// `from` is the directory listing `path`, where the walk must be back once
// it leaves `path` by ".."; null for the start.
static void treeweight(const char* path, int64_t& total, const struct stat* from)
{
    struct stat st;
    if (lstat(path, &st) == -1)
        die("lstat");
    total += st.st_size;
    if ((st.st_mode & S_IFMT) != S_IFDIR)
        return;

    DIR* dir = opendir(path);
    if (dir == nullptr)
        die("opendir");
    if (chdir(path) == -1)
        die("chdir");
    // The start is left for the parent its ".." names as the walk goes in:
    // "a" for a start "a/b", not the working directory.
    struct stat above, here;
    if (from == nullptr) {
        if (stat("..", &above) == -1)
            die("chdir");
        from = &above;
    }
    if (stat(".", &here) == -1)
        die("chdir");
    char* dirPath = realpath(".", nullptr);
    if (dirPath == nullptr)
        die("...");
    printf("Dir path: %s\n", dirPath);
    free(dirPath);

    for (;;) {
        // readdir leaves errno alone at the end of the listing: only a
        // cleared errno tells an error from the end.
        errno = 0;
        dirent* entry = readdir(dir);
        if (entry == nullptr)
            break;
        char* entryPath = realpath(entry->d_name, nullptr);
        if (entryPath == nullptr)
            die("...");
        printf("\tFile path: %s : %s\n", entryPath, entry->d_name);
        free(entryPath);

        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            if (stat(entry->d_name, &st) == -1)
                die("...");
            total += st.st_size;
        } else {
            treeweight(entry->d_name, total, &here);
        }
    }
    if (errno != 0)
        die("readdir");

    if (chdir("..") == -1)
        die("chdir");
    // A directory moved elsewhere during the walk has another "..", and the
    // walk would go on outside its tree: the way back is gone.
    if (stat(".", &st) == -1)
        die("chdir");
    if (st.st_dev != from->st_dev || st.st_ino != from->st_ino) {
        errno = ENOENT;
        die("chdir");
    }
    if (closedir(dir) == -1)
        die("closedir");
}

int main(int argc, char* argv[])
{
    if (argc != 2)
        die("argumenti");

    // stat follows a symbolic link here; the walker's lstat will not.
    struct stat st;
    if (stat(argv[1], &st) == -1)
        die("....");
    if ((st.st_mode & S_IFMT) != S_IFDIR)
        die("not a dir");

    int64_t total = 0;
    treeweight(argv[1], total, nullptr);
    printf("Dir size: %" PRId64 "B\n", total);
    // A result that never reached standard output is no success: the last
    // buffered bytes go out here, and an earlier failed write left its mark.
    if (fflush(stdout) == EOF || ferror(stdout))
        die("...");
    return 0;
}
