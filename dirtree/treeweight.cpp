// treeweight: the size of a directory tree, walked by building each entry's path.
#include <dirent.h>
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

// Adds the size of `path` and of everything below it to `total`.
static void treeweight(const char* path, uint64_t& total)
{
    struct stat st;
    if (lstat(path, &st) == -1)
        die("...");
    total += st.st_size;
    if ((st.st_mode & S_IFMT) != S_IFDIR)
        return;

    DIR* dir = opendir(path);
    if (dir == nullptr)
        die("opendir");
    size_t pathLength = strlen(path);

    for (;;) {
        // readdir leaves errno alone at the end of the listing: only a
        // cleared errno tells an error from the end.
        errno = 0;
        dirent* entry = readdir(dir);
        if (entry == nullptr)
            break;
        // path + "/" + name + NUL, freed as soon as the entry is counted.
        char* entryPath = static_cast<char*>(malloc(pathLength + strlen(entry->d_name) + 2));
        if (entryPath == nullptr)
            die("alokacija");
        memcpy(entryPath, path, pathLength);
        entryPath[pathLength] = '/';
        strcpy(entryPath + pathLength + 1, entry->d_name);

        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            if (stat(entryPath, &st) == -1)
                die("...");
            total += st.st_size;
        } else {
            treeweight(entryPath, total);
        }
        free(entryPath);
    }
    if (errno != 0)
        die("dir error");

    if (closedir(dir) == -1)
        die("...");
}

int main(int argc, char* argv[])
{
    if (argc != 2)
        die("argumenti");

    // stat follows a symbolic link here; the walker's lstat will not.
    struct stat st;
    if (stat(argv[1], &st) == -1)
        die("stat");
    if ((st.st_mode & S_IFMT) != S_IFDIR)
        die("nije dir");

    uint64_t total = 0;
    treeweight(argv[1], total);
    printf("Dir size: %" PRIu64 "B\n", total);
    // A result that never reached standard output is no success: the last
    // buffered bytes go out here, and an earlier failed write left its mark.
    if (fflush(stdout) == EOF || ferror(stdout))
        die("...");
    return 0;
}
