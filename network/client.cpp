// client: sends each line of standard input to a TCP peer and prints one read of its reply.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

int main(int argc, char* argv[])
{
    if (argc != 3)
        die("....");
    // A write to a peer that has reset then fails with its reason instead of
    // killing the client without a word.
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        die("....");

    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock == -1)
        die("....");

    // A port text that is no number gives port 0; a larger one keeps its low 16 bits.
    sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<unsigned short>(atoi(argv[2])));
    inet_pton(AF_INET, argv[1], &peer.sin_addr);
    if (connect(sock, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == -1)
        die("...");

    char* line = nullptr;
    size_t capacity = 0;
    for (;;) {
        ssize_t length = getline(&line, &capacity, stdin);
        if (length == -1)
            break;
        if (write(sock, line, length) == -1)
            die("....");

        // One read per line: a longer or split reply is finished after the next line.
        char reply[1024];
        ssize_t got = read(sock, reply, sizeof reply - 1);
        if (got == -1)
            die("....");
        reply[got] = '\0';
        printf("Server response: %s", reply);
        // A reply without a line feed shows at once, not with the next one.
        fflush(stdout);
    }
    free(line);
    close(sock);
    return 0;
}
