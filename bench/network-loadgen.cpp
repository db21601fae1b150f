// network-loadgen: many short TCP connections to a one-line server on 127.0.0.1, counted.
//
// Each of CLIENTS threads opens a connection, sends nothing, reads until the end of the
// stream and checks that it got exactly one whole line; then the next, until COUNT
// connections are done or SECONDS have passed. Every connection has a deadline, so a
// connection the server never answers is counted as hanging instead of stopping the run.
//
//   network-loadgen [-c clients] [-n count] [-d seconds] [-l length] [-t ms] [-o] port
//
// Prints one line: clients=... connections=... seconds=... rate=... lost=... hanging=... cpu=...
// (rate counts whole lines only; cpu is the generator's own processor time in seconds).
// Exit status 0 when nothing was lost or hanging.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

struct Settings {
    int clients = 1;
    long count = 10000;
    double seconds = 10;
    long lineLength = 0;   // bytes including the line feed; 0: any length
    long timeoutMs = 2000; // per connection, connect to end of stream
    bool orderlyClose = false;
    sockaddr_in server{};
};

struct Tally {
    long whole = 0;
    long lost = 0;
    long hanging = 0;
};

enum class Outcome { whole, lost, hanging };

// The first reason of each kind is printed; a run with thousands of failures needs no more.
static std::atomic_flag lostReported;
static std::atomic_flag hangReported;

static Outcome lost(const char* what, int error)
{
    if (!lostReported.test_and_set())
        fprintf(stderr, "network-loadgen: lost connection: %s%s%s\n", what,
                error != 0 ? ": " : "", error != 0 ? strerror(error) : "");
    return Outcome::lost;
}

static Outcome hanging(size_t received)
{
    if (!hangReported.test_and_set())
        fprintf(stderr, "network-loadgen: hanging connection after %zu bytes\n", received);
    return Outcome::hanging;
}

static bool isWholeLine(const Settings& settings, const char* reply, size_t length)
{
    if (length == 0 || reply[length - 1] != '\n')
        return false;
    if (settings.lineLength != 0 && length != static_cast<size_t>(settings.lineLength))
        return false;
    return memchr(reply, '\n', length) == reply + length - 1;
}

static Outcome oneConnection(const Settings& settings)
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(settings.timeoutMs);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return lost("socket", errno);

    // A reset instead of a FIN at the end spares the server's kernel its TIME_WAIT: at
    // tens of thousands of connections a second from one address, every port pair would
    // otherwise come round again while still in TIME_WAIT. The server has sent its line
    // and closed first by then, so its own work for each connection is unchanged.
    if (!settings.orderlyClose) {
        linger noLinger{.l_onoff = 1, .l_linger = 0};
        if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger) == -1) {
            int error = errno;
            close(fd);
            return lost("setsockopt", error);
        }
    }

    if (connect(fd, reinterpret_cast<const sockaddr*>(&settings.server), sizeof settings.server) == -1 &&
        errno != EINPROGRESS) {
        int error = errno;
        close(fd);
        return lost("connect", error);
    }

    Outcome outcome = Outcome::whole;
    char reply[1024];
    size_t received = 0;
    // Waiting for input covers the handshake too: a refused or reset connection
    // shows as readable, and recv then reports the error.
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd wait{.fd = fd, .events = POLLIN, .revents = 0};
        int ready = left > 0 ? poll(&wait, 1, static_cast<int>(left)) : 0;
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready == -1) {
            outcome = lost("poll", errno);
            break;
        }
        if (ready == 0) {
            outcome = hanging(received);
            break;
        }
        ssize_t n;
        while ((n = recv(fd, reply + received, sizeof reply - received, 0)) > 0) {
            received += n;
            if (received == sizeof reply)
                break;
        }
        if (received == sizeof reply) {
            outcome = lost("reply longer than a line", 0);
            break;
        }
        if (n == 0) {
            if (!isWholeLine(settings, reply, received))
                outcome = lost("reply not one whole line", 0);
            break;
        }
        if (errno != EAGAIN && errno != EINTR) {
            outcome = lost("recv", errno);
            break;
        }
    }
    close(fd);
    return outcome;
}

static long number(const char* text, long low, long high)
{
    char* end;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        fprintf(stderr, "network-loadgen: %s: not a number from %ld to %ld\n", text, low, high);
        exit(2);
    }
    return value;
}

[[noreturn]] static void usage()
{
    fputs("usage: network-loadgen [-c clients] [-n count] [-d seconds] [-l length] [-t ms] [-o] port\n",
          stderr);
    exit(2);
}

int main(int argc, char* argv[])
{
    Settings settings;
    int option;
    while ((option = getopt(argc, argv, "c:n:d:l:t:o")) != -1) {
        switch (option) {
        case 'c': settings.clients = static_cast<int>(number(optarg, 1, 1024)); break;
        case 'n': settings.count = number(optarg, 1, 100'000'000); break;
        case 'd': settings.seconds = static_cast<double>(number(optarg, 1, 600)); break;
        case 'l': settings.lineLength = number(optarg, 0, 1023); break;
        case 't': settings.timeoutMs = number(optarg, 1, 60'000); break;
        case 'o': settings.orderlyClose = true; break;
        default: usage();
        }
    }
    if (optind != argc - 1)
        usage();
    settings.server.sin_family = AF_INET;
    settings.server.sin_port = htons(static_cast<uint16_t>(number(argv[optind], 1, 65535)));
    settings.server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    // Every client starts at once, when all threads exist, and stops when the
    // shared count runs out or the time is up.
    std::atomic<long> remaining{settings.count};
    std::latch start{settings.clients + 1};
    Clock::time_point begin;
    Clock::time_point end;
    std::vector<Tally> tallies(settings.clients);
    std::vector<std::thread> clients;
    for (int i = 0; i < settings.clients; ++i) {
        clients.emplace_back([&, i] {
            Tally& tally = tallies[i];
            start.arrive_and_wait();
            Clock::time_point stop = begin + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(settings.seconds));
            while (remaining.fetch_sub(1, std::memory_order_relaxed) > 0 && Clock::now() < stop) {
                switch (oneConnection(settings)) {
                case Outcome::whole: ++tally.whole; break;
                case Outcome::lost: ++tally.lost; break;
                case Outcome::hanging: ++tally.hanging; break;
                }
            }
        });
    }
    begin = Clock::now();
    start.arrive_and_wait();
    for (std::thread& client : clients)
        client.join();
    end = Clock::now();

    Tally total;
    for (const Tally& tally : tallies) {
        total.whole += tally.whole;
        total.lost += tally.lost;
        total.hanging += tally.hanging;
    }
    double elapsed = std::chrono::duration<double>(end - begin).count();
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    printf("clients=%d connections=%ld seconds=%.3f rate=%.0f lost=%ld hanging=%ld cpu=%.3f\n",
           settings.clients, total.whole + total.lost + total.hanging, elapsed, total.whole / elapsed,
           total.lost, total.hanging, cpu);
    return total.lost == 0 && total.hanging == 0 ? 0 : 1;
}
