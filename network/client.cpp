// client: sends each line of standard input to a TCP peer and prints one read of its reply.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

// A standard descriptor left closed would be the next one opened: here the
// socket, and the peer's replies would be read as input or sent back to it, or
// a message sent to the peer. /dev/null takes its place, opened the other way
// (write-only for input, read-only for output), so that it fails as the closed
// one did.
static void keepStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        // F_GETFD fails only where no descriptor is open.
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        // Neither waits, were a FIFO put in its place, nor makes a terminal
        // ours; only the null device itself may stand in.
        int flags = (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_NOCTTY;
        if (open("/dev/null", flags) != fd)
            die("....");
        struct stat opened;
        if (fstat(fd, &opened) == -1)
            die("....");
        if (!S_ISCHR(opened.st_mode)) {
            errno = ENODEV;
            die("....");
        }
    }
}

int main(int argc, char* argv[])
{
    keepStandardDescriptors();
    if (argc != 3)
        die("....");
    // A write to a peer that has reset then fails with its reason instead of
    // killing the client without a word.
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        die("....");

    // A mistyped peer is refused before anything is made: an address must be
    // dotted IPv4 as inet_pton reads it, a port nothing but decimal digits
    // (no sign, no blanks) with a value from 1 to 65535.
    sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    if (inet_pton(AF_INET, argv[1], &peer.sin_addr) != 1) {
        errno = EINVAL;
        die("....");
    }
    char* end = nullptr;
    errno = 0;
    long port = strtol(argv[2], &end, 10);
    if (!isdigit(static_cast<unsigned char>(argv[2][0])) || *end != '\0' || errno != 0 || port < 1 ||
        port > 65535) {
        errno = EINVAL;
        die("....");
    }
    peer.sin_port = htons(static_cast<uint16_t>(port));

    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock == -1)
        die("....");
    if (connect(sock, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == -1)
        die("...");

    char* line = nullptr;
    size_t capacity = 0;
    for (;;) {
        // The end of input ends the client; input that cannot be read is a failure.
        ssize_t length = getline(&line, &capacity, stdin);
        if (length == -1) {
            if (ferror(stdin))
                die("....");
            break;
        }
        if (write(sock, line, length) == -1)
            die("....");

        // One read per line: a longer or split reply is finished after the next line.
        char reply[1024];
        ssize_t got = read(sock, reply, sizeof reply - 1);
        if (got == -1)
            die("....");
        reply[got] = '\0';
        printf("Server response: %s", reply);
        // A reply without a line feed shows at once, not with the next one;
        // one that could not be written leaves its mark on the stream.
        if (fflush(stdout) == EOF || ferror(stdout))
            die("....");
    }
    free(line);
    close(sock);
    return 0;
}
