// umask: create a file with exactly the mode given, by clearing the creation mask first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

int main(int argc, char* argv[])
{
    if (argc != 3)
        die("argumenti");

    // Not validated: leading blanks and a sign pass, the first character that
    // is no octal digit ends the number, and text without one gives 0.
    mode_t mode = static_cast<mode_t>(strtol(argv[2], nullptr, 8));

    // With no mask in the way, no bit of the mode is taken away.
    mode_t oldMask = umask(0);
    // Neither O_EXCL nor O_TRUNC: an existing file is only opened, and keeps
    // its mode and contents.
    int fd = open(argv[1], O_RDONLY | O_CREAT, mode);
    if (fd == -1)
        die("....");
    close(fd);
    umask(oldMask);
    return 0;
}
