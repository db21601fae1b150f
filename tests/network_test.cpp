// server and client: the time line on port 8080, SIGTERM's one more connection,
// connections that reset, load, and the client's one read per line against test peers.
#include "kit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

constexpr std::string_view prefix = "Server response: ";
// The servers run 5 hours 45 minutes east of UTC, a zone no machine here has.
constexpr const char* serverZone = "TZ=XYZ-5:45";
constexpr long serverOffset = 5 * 3600 + 45 * 60;

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A connection to 127.0.0.1:`port`, retried while nothing listens yet; -1 if
// nothing came to listen. Reads on it give up after 10 s.
int connectTo(uint16_t port, kit::Millis deadline = 10s)
{
    int fd = -1;
    kit::waitFor([&] {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return true;
        close(fd);
        fd = -1;
        return false;
    }, deadline);
    if (fd != -1) {
        timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    return fd;
}

// Everything the peer sends until it closes (or resets, or 10 s pass).
std::string readAll(int fd)
{
    std::string bytes;
    char buf[4096];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0)
        bytes.append(buf, got);
    return bytes;
}

// What the server on port 8080 answers a client that sends nothing.
std::string fetchLine(kit::Millis deadline = 10s)
{
    int fd = connectTo(8080, deadline);
    if (fd == -1)
        return "(no connection)";
    std::string line = readAll(fd);
    close(fd);
    return line;
}

// The time line ctime gives for `t` in a zone `offset` seconds east of UTC.
std::string timeLine(time_t t, long offset)
{
    t += offset;
    tm fields;
    gmtime_r(&t, &fields);
    char text[64];
    strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y\n", &fields);
    return text;
}

// Whether the server's main thread waits in accept: only there does SIGTERM
// leave it to take one more connection (between two accepts it stops at once).
bool waitsInAccept(pid_t pid)
{
    std::ifstream call("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    call >> number;
    // Under an emulator the host's call may be accept4.
    return number == SYS_accept || number == SYS_accept4;
}

// The process that strace `pid` runs, or 0.
pid_t tracee(pid_t pid)
{
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t child = 0;
    children >> child;
    return child;
}

// Under qemu-i386, once a process has started a thread, a signal handled by
// its main thread leaves pthread_self there answering with another thread.
// A server that takes SIGTERM after serving then starts its last thread from
// that wrong self: seen as "detach: Invalid argument", a glibc abort or a
// hang. The tests that stop a server after it has served skip there; those
// that stop it before its first connection still run.
#define SKIP_UNDER_QEMU_I386()                                                                   \
    do {                                                                                         \
        if (!kit::emulator().empty() && kit::emulator().front().ends_with("qemu-i386"))          \
            GTEST_SKIP() << "under qemu-i386: after a signal handler, pthread_self in the main " \
                            "thread answers with another thread";                                \
    } while (0)

// Every test here that uses port 8080 runs in a network namespace of its own
// (this test process alone moves into it, and what it starts inherits it), so
// no other program can hold the port or take the connections.
class NetworkServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_UNLESS_ROOT("a private network namespace");
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        ASSERT_EQ(kit::run({.argv = {"ip", "link", "set", "lo", "up"}}).status, 0);
    }

    // A server that waits for its first connection.
    static std::unique_ptr<kit::Process> startServer(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), SERVER);
        auto server = std::make_unique<kit::Process>(kit::Options{.argv = args, .env = {serverZone}});
        EXPECT_TRUE(kit::waitFor([&] { return waitsInAccept(server->pid()); }));
        return server;
    }

    // SIGTERM, then the one more connection that lets the server stop.
    static kit::Result stop(kit::Process& server)
    {
        EXPECT_TRUE(kit::waitFor([&] { return waitsInAccept(server.pid()); }));
        server.kill(SIGTERM);
        EXPECT_EQ(fetchLine().size(), 25u);
        return server.finish(10s);
    }
};

KIT_RUNS(NetworkServer, LineIsTheCurrentLocalTimeOfTheServer, "server");
TEST_F(NetworkServer, LineIsTheCurrentLocalTimeOfTheServer)
{
    SKIP_UNDER_QEMU_I386();
    auto server = startServer();
    time_t before = time(nullptr);
    std::string line = fetchLine();
    time_t after = time(nullptr);

    ASSERT_EQ(line.size(), 25u);
    EXPECT_TRUE(std::regex_match(line, std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun) "
                                                  "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                                  "[ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n")))
        << line;
    bool matches = false;
    for (time_t t = before; t <= after; ++t)
        matches |= line == timeLine(t, serverOffset);
    EXPECT_TRUE(matches) << line;

    auto r = stop(*server);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

KIT_RUNS(NetworkServer, WhatTheClientSendsChangesNothing, "server");
TEST_F(NetworkServer, WhatTheClientSendsChangesNothing)
{
    SKIP_UNDER_QEMU_I386();
    auto server = startServer({"ignored", "-x"});
    int fd = connectTo(8080);
    ASSERT_NE(fd, -1);
    std::string request = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(write(fd, request.data(), request.size()), ssize_t(request.size()));
    // Unread data makes the server's close a reset; what came before it is still read.
    std::string reply = readAll(fd);
    close(fd);
    EXPECT_EQ(reply.size(), 25u) << reply;

    auto r = stop(*server);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

KIT_RUNS(NetworkServer, SigtermStopsAfterOneMoreConnection, "server");
TEST_F(NetworkServer, SigtermStopsAfterOneMoreConnection)
{
    SKIP_UNDER_QEMU_I386();
    auto server = startServer();
    ASSERT_EQ(fetchLine().size(), 25u);

    // Nothing happens until a client comes, a second SIGTERM included.
    ASSERT_TRUE(kit::waitFor([&] { return waitsInAccept(server->pid()); }));
    server->kill(SIGTERM);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(server->exited());
    server->kill(SIGTERM);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(server->exited());

    // That client still gets its whole line, and then the server is gone.
    EXPECT_EQ(fetchLine().size(), 25u);
    auto r = server->finish(10s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(connectTo(8080, 0ms), -1);
}

KIT_RUNS(NetworkServer, PortHeldWithoutReusePort, "server");
TEST_F(NetworkServer, PortHeldWithoutReusePort)
{
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(8080);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    auto r = kit::run({.argv = {SERVER}});
    EXPECT_EQ(r.err, "...: " + kit::errorText(EADDRINUSE) + "\n");
    EXPECT_EQ(r.status, 1);
    close(holder);
}

KIT_RUNS(NetworkServer, TwoServersShareThePort, "server");
TEST_F(NetworkServer, TwoServersShareThePort)
{
    auto first = startServer();
    auto second = startServer();
    first->kill(SIGTERM);
    second->kill(SIGTERM);

    // Each stops only once the system has handed it a connection of its own.
    // (A connection waiting in the queue of one that stops is reset.)
    kit::waitFor([&] { return (first->exited() && second->exited()) || (fetchLine(0ms), false); });
    for (auto* server : {first.get(), second.get()}) {
        auto r = server->finish(10s);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
}

// Clients that reset before the server has written (some after their own end
// of stream, which makes even the first write raise the broken-pipe signal).
KIT_RUNS(NetworkServer, ResettingClientsEndOnlyTheirOwnConnection, "server");
TEST_F(NetworkServer, ResettingClientsEndOnlyTheirOwnConnection)
{
    SKIP_UNDER_QEMU_I386();
    auto server = startServer();
    server->kill(SIGSTOP);
    for (int i = 0; i < 10; ++i) {
        int fd = connectTo(8080);
        ASSERT_NE(fd, -1);
        if (i % 2)
            shutdown(fd, SHUT_WR);
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
    }
    server->kill(SIGCONT);

    EXPECT_EQ(fetchLine().size(), 25u);
    auto r = stop(*server);
    EXPECT_EQ(r.status, 0);
    auto complaints = kit::lines(r.err);
    EXPECT_EQ(complaints.size(), 10u) << r.err;
    for (const auto& line : complaints)
        EXPECT_TRUE(line == "s write: " + kit::errorText(ECONNRESET) ||
                    line == "s write: " + kit::errorText(EPIPE))
            << line;
}

KIT_RUNS(NetworkServer, EveryConnectionUnderLoadGetsItsLine, "server");
TEST_F(NetworkServer, EveryConnectionUnderLoadGetsItsLine)
{
    SKIP_UNDER_QEMU_I386();
    constexpr int clients = 8, connections = 250;
    auto server = startServer();
    std::atomic<int> whole = 0;
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            for (int i = 0; i < connections; ++i)
                whole += fetchLine().size() == 25;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(whole, clients * connections);

    auto r = stop(*server);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

struct AcceptFault {
    std::string error;  // what the first accept fails with
    std::string err;    // what the server says
    int status;         // -1: it serves on
};

void PrintTo(const AcceptFault& f, std::ostream* os) { *os << f.error; }

class AcceptFailure : public NetworkServer, public ::testing::WithParamInterface<AcceptFault> {};

KIT_RUNS(AcceptFailure, EndsTheServerOnlyWhenTheSocketIsAtFault, "server");
TEST_P(AcceptFailure, EndsTheServerOnlyWhenTheSocketIsAtFault)
{
    const AcceptFault& f = GetParam();
    if (f.status == -1)
        SKIP_UNDER_QEMU_I386();
    kit::Process strace({.argv = {SERVER}, .fault = kit::Fault{"accept,accept4", f.error}});
    if (f.status == -1) {
        // The failed accept is taken again, and the client gets its line.
        EXPECT_EQ(fetchLine().size(), 25u);
        pid_t server = tracee(strace.pid());
        ASSERT_GT(server, 0);
        // To the main thread: while strace holds it, a signal to the process
        // may land on ThreadSanitizer's own thread, which never handles it.
        syscall(SYS_tgkill, server, server, SIGTERM);
        EXPECT_TRUE(kit::waitFor([&] { return strace.exited() || (fetchLine(0ms), false); }));
        EXPECT_EQ(strace.finish(10s).status, 0);
        return;
    }
    auto r = strace.finish(10s);
    EXPECT_EQ(r.err, f.err);
    EXPECT_EQ(r.status, f.status);
}

INSTANTIATE_TEST_SUITE_P(Network, AcceptFailure, ::testing::Values(
    AcceptFault{"ECONNABORTED", "", -1},
    AcceptFault{"EPROTO", "", -1},
    AcceptFault{"EMFILE", "accept: " + kit::errorText(EMFILE) + "\n", 1}),
    [](const auto& row) { return row.param.error; });

// The main thread's first clone3 that makes a connection's thread: under
// ThreadSanitizer its own thread comes first, made along with ours.
#ifdef __SANITIZE_THREAD__
constexpr int firstThread = 2;
#else
constexpr int firstThread = 1;
#endif

struct ThreadFault {
    const char* name;
    std::vector<std::string> injects;  // strace's inject= expressions
    size_t firstReply;                 // what the first of two clients gets
    std::string err;
    int status;                        // 1: the server ends at once
};

void PrintTo(const ThreadFault& f, std::ostream* os) { *os << f.name; }

class ThreadCreateFailure : public NetworkServer, public ::testing::WithParamInterface<ThreadFault> {};

// Two clients at once. A thread the system refuses for now costs no
// connection while another thread of the server's can end, and only its own
// connection when none runs and every try has failed; any other refusal ends
// the server.
KIT_RUNS(ThreadCreateFailure, CostsOnlyWhatCannotBeHelped, "server");
TEST_P(ThreadCreateFailure, CostsOnlyWhatCannotBeHelped)
{
    SKIP_UNDER_EMULATOR("the injected thread-creation failure hits the emulator's own threads");
    const ThreadFault& f = GetParam();
    kit::TempDir traceDir;
    std::vector<std::string> argv{"strace", "-f", "-o", traceDir / "trace"};
    for (const auto& inject : f.injects)
        argv.insert(argv.end(), {"-e", "inject=" + inject});
    argv.insert(argv.end(), {"--", SERVER});
    kit::Process strace({.argv = argv, .env = {"ASAN_OPTIONS=detect_leaks=0"}});
    int first = connectTo(8080), second = connectTo(8080);
    EXPECT_EQ(readAll(first).size(), f.firstReply);
    std::string secondReply = readAll(second);
    close(first);
    close(second);
    if (f.status == 0) {
        EXPECT_EQ(secondReply.size(), 25u);
        pid_t server = tracee(strace.pid());
        ASSERT_GT(server, 0);
        syscall(SYS_tgkill, server, server, SIGTERM);  // to the main thread, as above
        EXPECT_TRUE(kit::waitFor([&] { return strace.exited() || (fetchLine(0ms), false); }));
    }
    auto r = strace.finish(10s);
    EXPECT_EQ(r.err, f.err);
    EXPECT_EQ(r.status, f.status);
    EXPECT_NE(kit::readFile(traceDir / "trace").find("(INJECTED)"), std::string::npos);
}

// strace's `when` for `count` calls from the `first`.
std::string when(int first, int count = 1)
{
    return ":when=" + std::to_string(first) + ".." + std::to_string(first + count - 1);
}

INSTANTIATE_TEST_SUITE_P(Network, ThreadCreateFailure, ::testing::Values(
    ThreadFault{"OtherErrorEndsTheServer", {"clone3:error=EPERM:when=1+"},
                0, "thread create: " + kit::errorText(EPERM) + "\n", 1},
    // With none running, the thread is tried 1000 times before its connection is lost.
    ThreadFault{"NoThreadRunningLosesThatConnection", {"clone3:error=EAGAIN" + when(firstThread, 1000)},
                0, "thread create: " + kit::errorText(EAGAIN) + "\n", 0},
    ThreadFault{"NoThreadRunningIsRetried", {"clone3:error=EAGAIN" + when(firstThread, 999)},
                25, "", 0},
    // The first connection's thread is held in its write while the second's fails.
    ThreadFault{"ThreadRunningIsWaitedFor",
                {"write:delay_enter=500000:when=1", "clone3:error=EAGAIN" + when(firstThread + 1)},
                25, "", 0}),
    [](const auto& row) { return row.param.name; });

// A process limit that leaves room for one connection thread, as uid 65534 in
// a user namespace of its own, so that only the server's threads count. Each
// thread is held back in its exit after it has lowered the server's count:
// until it has really gone, the next one is refused.
KIT_RUNS(NetworkServer, EndingThreadCostsNoConnectionUnderAProcessLimit, "server");
TEST_F(NetworkServer, EndingThreadCostsNoConnectionUnderAProcessLimit)
{
    SKIP_UNDER_EMULATOR("the emulator's own threads count against the limit");
    if (kit::run({.argv = {"unshare", "--user", "true"}, .unprivileged = true}).status != 0)
        GTEST_SKIP() << "uid 65534 may not make a user namespace here";
    constexpr int clients = 1000;
    // The main thread (and ThreadSanitizer's), and one connection thread.
    const std::string limit = "--nproc=" + std::to_string(firstThread + 1);
    kit::Process strace({.argv = {"unshare", "--user", "--", "prlimit", limit, "--", SERVER},
                         .env = {"ASAN_OPTIONS=detect_leaks=0"}, .unprivileged = true,
                         .fault = kit::Fault{.call = "exit", .when = "1.." + std::to_string(clients),
                                             .delay = "2000"}});
    auto until = std::chrono::steady_clock::now() + 60s;
    int whole = 0;
    while (whole < clients && std::chrono::steady_clock::now() < until) {
        std::string line = fetchLine();
        if (line.size() != 25u)
            break;
        ++whole;
    }
    EXPECT_EQ(whole, clients);

    pid_t server = tracee(strace.pid());
    ASSERT_GT(server, 0);
    syscall(SYS_tgkill, server, server, SIGTERM);  // to the main thread, as above
    EXPECT_TRUE(kit::waitFor([&] { return strace.exited() || (fetchLine(0ms), false); }));
    auto r = strace.finish(10s);
    EXPECT_EQ(r.status, 0);
    // strace may speak up when the server ends while its last thread is held back.
    for (const auto& line : kit::lines(r.err))
        EXPECT_TRUE(line.starts_with("strace: ")) << line;
}

KIT_RUNS(NetworkServer, ClientAgainstServer, "client server");
TEST_F(NetworkServer, ClientAgainstServer)
{
    SKIP_UNDER_QEMU_I386();
    auto server = startServer();
    time_t before = time(nullptr);
    auto r = kit::run({.argv = {CLIENT, "127.0.0.1", "8080"}, .input = "what time is it?\nand now?\n"});
    time_t after = time(nullptr);

    EXPECT_EQ(r.signal, 0);
    std::string answered;
    for (time_t t = before; t <= after; ++t)
        if (r.out.starts_with(std::string(prefix) + timeLine(t, serverOffset)))
            answered = std::string(prefix) + timeLine(t, serverOffset);
    ASSERT_NE(answered, "") << r.out;
    // The second line meets the server's close or its reset, whichever came first.
    if (r.status == 0) {
        EXPECT_EQ(r.out, answered + std::string(prefix));
        EXPECT_EQ(r.err, "");
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, answered);
        EXPECT_TRUE(r.err == "....: " + kit::errorText(ECONNRESET) + "\n" ||
                    r.err == "....: " + kit::errorText(EPIPE) + "\n")
            << r.err;
    }
    EXPECT_EQ(stop(*server).status, 0);
}

// One read of what the client sent: a line, since the client waits between lines.
std::string readOnce(int fd)
{
    char buf[4096];
    ssize_t got = read(fd, buf, sizeof buf);
    return got > 0 ? std::string(buf, got) : "";
}

void sendAll(int fd, std::string_view bytes)
{
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

KIT_RUNS(NetworkClient, EchoPeerGetsEachLineAsItWasRead, "client");
TEST(NetworkClient, EchoPeerGetsEachLineAsItWasRead)
{
    std::string received;
    kit::Result r;
    {
        kit::Peer peer([&](int fd) {
            for (std::string line; !(line = readOnce(fd)).empty();) {
                received += line;
                sendAll(fd, line);
            }
        });
        r = kit::run({.argv = {CLIENT, "127.0.0.1", peer.port()}, .input = "one\n\ntwo words\nlast"});
    }
    EXPECT_EQ(r.out, "Server response: one\nServer response: \nServer response: two words\n"
                     "Server response: last");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    // Exactly the bytes of each line: an empty line is its line feed alone.
    EXPECT_EQ(received, "one\n\ntwo words\nlast");
}

struct PeerCase {
    const char* name;
    std::function<void(int fd)> serve;
    std::string input;
    std::string out;
};

// Ends the peer's stream but takes in what the client still sends, so that
// its close is no reset.
void endStream(int fd)
{
    shutdown(fd, SHUT_WR);
    readAll(fd);
}

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.name; }

const std::string longReply = [] {
    std::string text;
    for (int i = 0; text.size() < 1500; ++i)
        text += std::to_string(i) + " ";
    return text + "\n";
}();

class ClientPeer : public ::testing::TestWithParam<PeerCase> {};

KIT_RUNS(ClientPeer, PrintsOneReadPerLine, "client");
TEST_P(ClientPeer, PrintsOneReadPerLine)
{
    kit::Peer peer(GetParam().serve);
    auto r = kit::run({.argv = {CLIENT, "127.0.0.1", peer.port()}, .input = GetParam().input});
    EXPECT_EQ(r.out, GetParam().out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(Network, ClientPeer, ::testing::Values(
    PeerCase{"ReplyAndClose", [](int fd) { readOnce(fd); sendAll(fd, "bye\n"); endStream(fd); },
             "a\nb\n", "Server response: bye\nServer response: "},
    PeerCase{"CloseWithoutReply", [](int fd) { readOnce(fd); endStream(fd); },
             "a\nb\n", "Server response: Server response: "},
    PeerCase{"LongReplyInParts", [](int fd) { readOnce(fd); sendAll(fd, longReply); readOnce(fd); },
             "a\nb\n", "Server response: " + longReply.substr(0, 1023) +
                       "Server response: " + longReply.substr(1023)},
    PeerCase{"ZeroByteEndsTheReply", [](int fd) { readOnce(fd); sendAll(fd, std::string("ab\0cd\n", 6)); },
             "a\n", "Server response: ab"},
    PeerCase{"EmptyInputSendsNothing", [](int fd) { EXPECT_EQ(readAll(fd), ""); },
             "", ""}),
    [](const auto& row) { return row.param.name; });

// A mistyped address or port is refused before any socket is made: with
// socket() failing, a refused text still gives EINVAL, and an accepted one
// reaches the socket and its failure.
KIT_RUNS(NetworkClient, AddressAndPortTexts, "client");
TEST(NetworkClient, AddressAndPortTexts)
{
    const std::string refused = kit::perrorLine("....", EINVAL);
    const std::string accepted = kit::perrorLine("....", EMFILE);
    struct Case {
        const char* address;
        const char* port;
        const std::string& err;
    };
    for (const auto& c : std::vector<Case>{
             {"192.0.2.l", "8080", refused},
             {"no address", "8080", refused},
             {"", "8080", refused},
             {"127.1", "8080", refused},
             {"127.0.0.1", "65616", refused},
             {"127.0.0.1", "65536", refused},
             {"127.0.0.1", "0", refused},
             {"127.0.0.1", "-1", refused},
             {"127.0.0.1", "+80", refused},
             {"127.0.0.1", " 80", refused},
             {"127.0.0.1", "80 ", refused},
             {"127.0.0.1", "80x", refused},
             {"127.0.0.1", "", refused},
             {"127.0.0.1", "daytime", refused},
             {"127.0.0.1", "99999999999999999999", refused},
             {"127.0.0.1", "1", accepted},
             {"127.0.0.1", "65535", accepted},
             {"192.0.2.1", "08080", accepted}}) {
        auto r = kit::run({.argv = {CLIENT, c.address, c.port}, .input = "x\n",
                           .fault = kit::Fault{"socket", "EMFILE"}});
        SCOPED_TRACE(std::string(c.address) + " " + c.port);
        kit::expectFailure(r, c.err);
    }
}

// Driven through a pipe, the client prints each reply before it reads the
// next line: whoever drives it sees the answer to what it sent.
KIT_RUNS(NetworkClient, EachReplyIsOutBeforeTheNextLineIsRead, "client");
TEST(NetworkClient, EachReplyIsOutBeforeTheNextLineIsRead)
{
    kit::Peer peer([](int fd) {
        for (std::string line; !(line = readOnce(fd)).empty();)
            sendAll(fd, "got " + line);
    });
    kit::Process client({.argv = {CLIENT, "127.0.0.1", peer.port()}});
    for (std::string word : {"one", "two"}) {
        client.send(word + "\n");
        EXPECT_EQ(client.readLine(), std::string(prefix) + "got " + word);
    }
    auto r = client.finish(10s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// How many sockets of this network have `port` as their peer's port.
int connectionsTo(uint16_t port)
{
    std::ifstream table("/proc/net/tcp");
    std::string line, slot, local, remote;
    std::getline(table, line);  // the heading
    char wanted[8];
    snprintf(wanted, sizeof wanted, ":%04X", port);
    int count = 0;
    while (table >> slot >> local >> remote && std::getline(table, line))
        count += remote.ends_with(wanted);
    return count;
}

// A peer that ends its stream and then resets: the client's next write fails
// (with the broken-pipe signal ignored, by a message instead of silent death).
KIT_RUNS(NetworkClient, WriteToResetConnectionFails, "client");
TEST(NetworkClient, WriteToResetConnectionFails)
{
    std::atomic<bool> accepted = false;
    kit::Peer peer([&](int fd) {
        shutdown(fd, SHUT_WR);
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        accepted = true;
    });  // the peer's close now resets
    kit::Process client({.argv = {CLIENT, "127.0.0.1", peer.port()}});
    // The client's socket leaves the table once the reset has reached it.
    EXPECT_TRUE(kit::waitFor([&] { return accepted && connectionsTo(peer.number()) == 0; }));
    client.send("x\n");
    auto r = client.finish(10s);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, "....: " + kit::errorText(EPIPE) + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

// A peer that takes the line and resets: the client's read fails.
KIT_RUNS(NetworkClient, ReadFromResetConnectionFails, "client");
TEST(NetworkClient, ReadFromResetConnectionFails)
{
    kit::Peer peer([](int fd) {
        readOnce(fd);
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    });
    auto r = kit::run({.argv = {CLIENT, "127.0.0.1", peer.port()}, .input = "a\nb\n"});
    EXPECT_EQ(r.err, "....: " + kit::errorText(ECONNRESET) + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

KIT_RUNS(NetworkClient, Failures, "client");
TEST(NetworkClient, Failures)
{
    struct Case {
        std::vector<std::string> argv;
        std::string err;
    };
    for (const auto& c : std::vector<Case>{
             {{CLIENT}, "....: Success\n"},
             {{CLIENT, "127.0.0.1"}, "....: Success\n"},
             {{CLIENT, "127.0.0.1", "1", "2"}, "....: Success\n"},
             {{CLIENT, "127.0.0.1", "1"}, "...: " + kit::errorText(ECONNREFUSED) + "\n"}}) {
        auto r = kit::run({.argv = c.argv, .input = "x\n"});
        EXPECT_EQ(r.err, c.err) << c.argv.size();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
