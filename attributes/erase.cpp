// erase: remove a file name with unlink or an empty directory with rmdir, as an option word chooses.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The message alone: the reason a removal failed is not told.
[[noreturn]] static void die(const char* message)
{
    fprintf(stderr, "%s\n", message);
    exit(1);
}

int main(int argc, char* argv[])
{
    if (argc != 3)
        die("argumenti");

    // The option is compared whole, and only in the first place.
    if (strcmp(argv[1], "-f") == 0) {
        if (unlink(argv[2]) == -1)
            die("unlink");
        return 0;
    }
    if (strcmp(argv[1], "-d") == 0) {
        if (rmdir(argv[2]) == -1)
            die("rmdir");
        return 0;
    }
    die("pogresna opcija");
}
