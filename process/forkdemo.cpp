// forkdemo: after a fork, parent and child each change their own copy of the same variables.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

int main()
{
    int x = 10;
    int y = 5;
    int childStatus = 0;

    // Nothing is printed before the fork: a line still buffered then would be
    // copied into the child and printed twice.
    pid_t child = fork();
    if (child == -1)
        die("...");

    if (child > 0) {
        x += 10;
        y -= 10;
        printf("Parent: x = %d y = %d\n", x, y);
        // This child, not any: a child inherited across exec must not end the
        // wait before ours has printed its lines.
        if (waitpid(child, &childStatus, 0) == -1)
            die("...");
    } else {
        x -= 10;
        y += 10;
        printf("Child: x = %d y = %d\n", x, y);
    }

    // Each process changes its own copy: the two last lines differ.
    x += 50;
    y -= 50;
    printf("x = %d y = %d\n", x, y);

    // Lost output is a failure told in one line: the child tells of its own
    // and ends with status 1; the parent, which writes to the same place,
    // then ends with status 1 too without a second line.
    bool lost = fflush(stdout) == EOF || ferror(stdout);
    if (child > 0 && WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 1)
        exit(1);
    if (lost)
        die("...");
    return 0;
}
