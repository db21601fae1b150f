// server: a TCP time-of-day server that gives every connection a detached thread of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

constexpr unsigned short port = 8080;
// A connection thread needs little stack. Default stacks (8 MiB) are too big
// for the few that glibc keeps for reuse, so each thread would map a new one.
// Some platforms refuse a stack this small (aarch64 wants 128 KiB): the
// platform's minimum wins there.
constexpr size_t smallStackSize = 64 * 1024;
// With none of our threads counted, a refused thread is tried again every
// millisecond for up to a second.
constexpr int createTries = 1000;
constexpr timespec createPause = {0, 1000 * 1000};

// Written by the SIGTERM handler on whichever thread the signal lands, read by the loop.
static std::atomic<int> run = 1;
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch a lock-free flag");

// Connection threads that have not yet sent their line and closed.
static std::atomic<int> live = 0;

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

// Thread calls return their error number instead of setting errno.
[[noreturn]] static void dieWith(int error, const char* message)
{
    errno = error;
    die(message);
}

// A standard descriptor left closed would be the next one opened: here the
// listening socket or a connection, and a failed write's message would be sent
// to a client. /dev/null takes its place, opened the other way (write-only for
// input, read-only for output), so that it fails as the closed one did.
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

static void processSignal(int sig)
{
    if (sig == SIGTERM)
        run = 0;
}

// The next connection. A failure that concerns only the pending connection
// (accept(2) lists them) is retried, and so is an interrupted wait, so that
// after SIGTERM the server still takes one whole connection.
static int acceptConnection(int listenFd)
{
    for (;;) {
        sockaddr_in peer;
        socklen_t peerLength = sizeof peer;
        int connFd = accept(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (connFd != -1)
            return connFd;
        switch (errno) {
        case ECONNABORTED: case EPROTO: case EINTR:
        case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN: case ENONET:
        case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
            continue;
        default:
            return -1;
        }
    }
}

static void* threadFunc(void* arg)
{
    int* cell = static_cast<int*>(arg);
    int error = pthread_detach(pthread_self());
    if (error > 0)
        dieWith(error, "detach");

    // ctime's buffer is shared by the whole process; this one is the thread's own.
    char text[26];
    time_t now = time(nullptr);
    ctime_r(&now, text);
    int length = strlen(text);

    // A client that has gone loses its line; the others are served on.
    if (write(*cell, text, length) == -1)
        perror("s write");
    close(*cell);
    free(cell);

    // The main thread may be waiting for a thread to end, to start another
    // in its place or to stop; with nobody waiting the notify makes no call.
    --live;
    live.notify_all();
    return nullptr;
}

int main()
{
    keepStandardDescriptors();

    int option = 1;
    int listenFd = socket(AF_INET, SOCK_STREAM, 0);
    if (listenFd == -1)
        die("....");
    if (setsockopt(listenFd, SOL_SOCKET, SO_REUSEPORT, &option, sizeof option) == -1)
        die("....");

    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1)
        die("...");
    // A short queue overflows under a burst of clients, and a client that
    // sends nothing never notices its lost handshake.
    if (listen(listenFd, SOMAXCONN) == -1)
        die("....");

    // glibc's signal keeps the handler and resumes the interrupted accept, so
    // after SIGTERM the server still takes one more connection, then stops.
    if (signal(SIGTERM, processSignal) == SIG_ERR)
        die("....");
    // A write to a client that has reset fails instead of killing the server.
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        die("....");

    pthread_attr_t threadAttributes;
    int error = pthread_attr_init(&threadAttributes);
    if (error > 0)
        dieWith(error, "thread create");
    // PTHREAD_STACK_MIN may be a sysconf call, known only at run time.
    size_t stackSize = std::max<size_t>(smallStackSize, PTHREAD_STACK_MIN);
    error = pthread_attr_setstacksize(&threadAttributes, stackSize);
    if (error > 0)
        dieWith(error, "thread create");

    while (run) {
        int connFd = acceptConnection(listenFd);
        if (connFd == -1)
            die("accept");

        int* cell = static_cast<int*>(malloc(sizeof(int)));
        if (cell == nullptr)
            die("arg malloc");
        *cell = connFd;

        // The system may refuse one more thread for a while (a limit on
        // processes, a stack it cannot map): the connection then waits until
        // one of ours has ended and tries again. A thread that has lowered
        // the count holds its place until it has really exited, so with none
        // counted the call is retried for a bounded short while, not joined
        // (the threads detach themselves), and only then is that one
        // connection lost.
        ++live;
        pthread_t thread;
        for (int triesLeft = createTries;;) {
            int seen = live;  // this connection and the threads still running
            error = pthread_create(&thread, &threadAttributes, threadFunc, cell);
            if (error != EAGAIN)
                break;
            if (seen > 1) {
                live.wait(seen);
                continue;
            }
            if (--triesLeft == 0)
                break;
            nanosleep(&createPause, nullptr);  // a signal only cuts the pause short
        }
        if (error == EAGAIN) {
            errno = error;
            perror("thread create");
            close(connFd);
            free(cell);
            --live;
        } else if (error > 0) {
            dieWith(error, "thread create");
        }
    }
    close(listenFd);
    pthread_attr_destroy(&threadAttributes);

    // Every connection already accepted gets its line before the process ends.
    for (int n = live; n > 0; n = live)
        live.wait(n);
    return 0;
}
