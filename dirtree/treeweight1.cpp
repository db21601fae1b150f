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

// A directory that a check expects is not at its name any more.
[[noreturn]] static void gone(const char* message)
{
    errno = ENOENT;
    die(message);
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

    // Opened once, not following a symbolic link, and listed and entered
    // through that descriptor: the name is not looked up again.
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd == -1 && (errno == ELOOP || errno == ENOTDIR))
        gone("opendir");  // the name became a symbolic link or no directory
    if (fd == -1)
        die("opendir");
    struct stat here;
    if (fstat(fd, &here) == -1)
        die("opendir");
    // Compared with the directory lstat found at `path`: another one swapped
    // in since would be listed in its place.
    if (here.st_dev != st.st_dev || here.st_ino != st.st_ino)
        gone("opendir");
    DIR* dir = fdopendir(fd);
    if (dir == nullptr)
        die("opendir");
    if (fchdir(fd) == -1)
        die("chdir");
    // For the start, the directory to be back in is the parent its ".."
    // names as the walk goes in: "a" for a start "a/b", not the working
    // directory.
    struct stat above;
    if (from == nullptr) {
        if (stat("..", &above) == -1)
            die("chdir");
        from = &above;
    }
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
    // Compared with `from`, the directory that lists this one: a directory
    // moved elsewhere during the walk has another "..", and the walk would
    // go on outside its tree.
    if (stat(".", &st) == -1)
        die("chdir");
    if (st.st_dev != from->st_dev || st.st_ino != from->st_ino)
        gone("chdir");
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
