// Failures at the edges of every program: a result that cannot be written to
// standard output, and standard input that cannot be read, end in one line and
// status 1, never in a silent success; a standard descriptor that is closed is
// never taken for a file of the program's own.
#include "kit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

using namespace std::chrono_literals;

namespace {

// What each case gets: a tree with one fresh file "a.txt" (3 bytes), a FIFO
// path not yet made, and a shared-memory name removed at the end.
struct Scene {
    kit::TempDir dir;
    std::string file = dir / "a.txt";
    std::string fifo = dir / "fifo";
    std::string shm = "/" + kit::uniqueName("edges");
    Scene() { kit::writeFile(file, "abc"); }
    ~Scene() { shm_unlink(shm.c_str()); }
};

struct Case {
    const char* name;
    std::string err;  // the one diagnostic line
    // Runs the program on a case that succeeds, with `io` (standard output or
    // input on a path) added to its options.
    std::function<kit::Result(Scene&, kit::Options io)> run;
};

kit::Result plain(kit::Options io, std::vector<std::string> argv)
{
    io.argv = std::move(argv);
    return kit::run(io);
}

// numberrecv's writer: numbersend sends one number and ends.
kit::Result withSender(Scene& s, kit::Options io, std::vector<std::string> argv)
{
    if (mkfifo(s.fifo.c_str(), 0600) == -1)
        throw std::runtime_error("mkfifo");
    kit::Process sender({.argv = {NUMBERSEND, s.fifo}});
    sender.send("no\n");  // waits in the pipe while the sender waits for a reader
    auto r = plain(io, std::move(argv));
    EXPECT_EQ(sender.finish().status, 0);
    return r;
}

// numbersend's reader: numberrecv, which prints whatever arrived.
kit::Result withReceiver(Scene& s, kit::Options io)
{
    if (mkfifo(s.fifo.c_str(), 0600) == -1)
        throw std::runtime_error("mkfifo");
    kit::Process receiver({.argv = {NUMBERRECV, s.fifo}});
    io.input = "no\n";
    auto r = plain(io, {NUMBERSEND, s.fifo});
    EXPECT_EQ(receiver.finish().status, 0);
    return r;
}

// shmlisten's writer: shmtalk sends "hi" and "quit" once the block is set up.
kit::Result withWriter(Scene& s, kit::Options io)
{
    kit::Process writer({.argv = {SHMTALK, s.shm}});
    writer.send("hi quit\n");
    EXPECT_TRUE(writer.readLine());  // the first prompt: the block is ready
    auto r = plain(io, {SHMLISTEN, s.shm});
    EXPECT_EQ(writer.finish().status, 0);
    return r;
}

kit::Result withPeer(kit::Options io, const std::string& input)
{
    // Each line is answered with "hi\n" until the client closes.
    kit::Peer peer([](int fd) {
        char buf[4096];
        while (read(fd, buf, sizeof buf) > 0 && write(fd, "hi\n", 3) == 3) {
        }
    });
    io.input = input;
    return plain(io, {CLIENT, "127.0.0.1", peer.port()});
}

const std::string full = "No space left on device";
const std::string isDir = "Is a directory";

const std::vector<Case> lostOutput = {
    {"treeweight1", "...: " + full, [](Scene& s, auto io) { return plain(io, {TREEWEIGHT1, s.dir.path()}); }},
    {"treeweight", "...: " + full, [](Scene& s, auto io) { return plain(io, {TREEWEIGHT, s.dir.path()}); }},
    {"findsuffix", "...: " + full, [](Scene& s, auto io) { return plain(io, {FINDSUFFIX, s.dir.path(), "txt"}); }},
    {"findrecent", "printf: " + full, [](Scene& s, auto io) { return plain(io, {FINDRECENT, s.dir.path()}); }},
    {"findrecent2", "...: " + full, [](Scene& s, auto io) { return plain(io, {FINDRECENT2, s.dir.path()}); }},
    {"seeksize", "printf", [](Scene& s, auto io) { return plain(io, {SEEKSIZE, s.file}); }},
    {"seeksize2", "...", [](Scene& s, auto io) { return plain(io, {SEEKSIZE2, s.file}); }},
    {"pwlookup", "printf", [](Scene&, auto io) { return plain(io, {PWLOOKUP, "root"}); }},
    {"charcount", "...: " + full, [](Scene& s, auto io) { return plain(io, {CHARCOUNT, s.file, s.file}); }},
    {"charcount2", "...: " + full, [](Scene& s, auto io) { return plain(io, {CHARCOUNT2, s.file, s.file}); }},
    {"shmlisten", "...: " + full, [](Scene& s, auto io) { return withWriter(s, io); }},
    {"numberrecv", "...: " + full, [](Scene& s, auto io) { return withSender(s, io, {NUMBERRECV, s.fifo}); }},
    {"endprobe", "...: " + full, [](Scene& s, auto io) { return plain(io, {ENDPROBE, "-r", s.file}); }},
    {"client", "....: " + full, [](Scene&, auto io) { return withPeer(io, "x\n"); }},
    {"forkdemo", "...: " + full, [](Scene&, auto io) { return plain(io, {FORKDEMO}); }},
    // The prompting programs, for their prompts; the name stays.
    {"numbersend", "....: " + full, [](Scene& s, auto io) { return withReceiver(s, io); }},
    {"shmtalk", "...: " + full, [](Scene& s, auto io) { io.input = "quit"; return plain(io, {SHMTALK, s.shm}); }},
    {"shmtalk2", "...: " + full, [](Scene& s, auto io) { io.input = "quit"; return plain(io, {SHMTALK2, s.shm}); }},
};

// Each program is a case of its own, named after it.
std::string nameOfCase(const testing::TestParamInfo<Case>& info)
{
    return info.param.name;
}

class LostOutput : public testing::TestWithParam<Case> {};
INSTANTIATE_TEST_SUITE_P(Edges, LostOutput, testing::ValuesIn(lostOutput), nameOfCase);

// The readers' and writers' peers are the suite's programs too.
KIT_RUNS_P(LostOutput, StandardOutputOnAFullDeviceIsOneFailure, shmlisten, "shmtalk");
KIT_RUNS_P(LostOutput, StandardOutputOnAFullDeviceIsOneFailure, numberrecv, "numbersend");
KIT_RUNS_P(LostOutput, StandardOutputOnAFullDeviceIsOneFailure, numbersend, "numberrecv");

TEST_P(LostOutput, StandardOutputOnAFullDeviceIsOneFailure)
{
    Scene scene;
    auto r = GetParam().run(scene, {.outputPath = "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, GetParam().err + "\n");
}

// A closed standard output stays closed in effect: the same one failure,
// told with the reason.
KIT_RUNS_P(LostOutput, ClosedStandardOutputIsOneFailure, shmlisten, "shmtalk");
KIT_RUNS_P(LostOutput, ClosedStandardOutputIsOneFailure, numberrecv, "numbersend");
KIT_RUNS_P(LostOutput, ClosedStandardOutputIsOneFailure, numbersend, "numberrecv");

TEST_P(LostOutput, ClosedStandardOutputIsOneFailure)
{
    Scene scene;
    std::string line = GetParam().err;
    if (line.ends_with(full))
        line.replace(line.size() - full.size(), full.size(), kit::errorText(EBADF));
    // Standard input closed too: a program that reads it first fails there.
    auto r = GetParam().run(scene, {.closed = {0, 1}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, line + "\n");
}

// A broken pipe keeps its default action: a reader that has gone ends the
// program by the signal, without a word. The listing outgrows the pipe.
KIT_RUNS(Pipe, ReaderGoneEndsQuietly, "treeweight1");
TEST(Pipe, ReaderGoneEndsQuietly)
{
    kit::TempDir dir;
    for (int i = 0; i < 3000; ++i)
        kit::writeFile(dir / std::to_string(i), "");
    auto argv = kit::command(TREEWEIGHT1);
    argv.insert(argv.begin(), {"bash", "-c", "\"$@\" | head -1 >/dev/null; echo ${PIPESTATUS[0]}", "bash"});
    argv.push_back(dir.path());
    auto r = kit::run({.argv = argv});
    EXPECT_EQ(r.out, std::to_string(128 + SIGPIPE) + "\n");
    EXPECT_EQ(r.err, "");
}

// Standard input that cannot be read is no end of input: status 1, the
// program's line, and the FIFO or shared-memory name stays.
const std::vector<Case> unreadableInput = {
    {"numbersend", "...: " + isDir, [](Scene& s, auto io) {
         auto r = withReceiver(s, io);
         EXPECT_TRUE(kit::exists(s.fifo));
         return r;
     }},
    {"shmtalk", "...: " + isDir, [](Scene& s, auto io) {
         auto r = plain(io, {SHMTALK, s.shm});
         EXPECT_TRUE(kit::exists("/dev/shm" + s.shm));
         return r;
     }},
    {"shmtalk2", "...: " + isDir, [](Scene& s, auto io) {
         auto r = plain(io, {SHMTALK2, s.shm});
         EXPECT_TRUE(kit::exists("/dev/shm" + s.shm));
         return r;
     }},
    {"client", "....: " + isDir, [](Scene&, auto io) { return withPeer(io, ""); }},
};

class UnreadableInput : public testing::TestWithParam<Case> {};
INSTANTIATE_TEST_SUITE_P(Edges, UnreadableInput, testing::ValuesIn(unreadableInput), nameOfCase);
KIT_RUNS_P(UnreadableInput, IsAFailureAndReleasesNothing, numbersend, "numberrecv");

TEST_P(UnreadableInput, IsAFailureAndReleasesNothing)
{
    Scene scene;
    auto r = GetParam().run(scene, {.inputPath = "/"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, GetParam().err + "\n");
}

// A standard descriptor closed at the start is not free for the program's own
// files, FIFOs, objects and sockets: what it prints or reads there fails
// (status 1, and one line where standard error is open), and they receive
// only their own bytes. Each case runs its program and checks what is left.
struct Attack {
    const char* name;
    std::function<void(Scene&)> run;
};

void PrintTo(const Attack& attack, std::ostream* os) { *os << attack.name; }

// What the client, run with `io`, sends a peer that answers every read with "hi\n".
std::string clientSends(kit::Options io, const std::string& err)
{
    std::string received;
    {
        kit::Peer peer([&received](int fd) {
            char buf[4096];
            ssize_t got;
            while ((got = read(fd, buf, sizeof buf)) > 0 && write(fd, "hi\n", 3) == 3)
                received.append(buf, got);
        });
        io.argv = {CLIENT, "127.0.0.1", peer.port()};
        kit::expectFailure(kit::run(io), err);
    }
    return received;
}

// What numberrecv prints of what numbersend, run with `io` on the scene's
// FIFO, sends before it fails with `err`.
std::string numbersSent(Scene& s, kit::Options io, const std::string& err)
{
    kit::Process receiver({.argv = {NUMBERRECV, s.fifo}});
    io.argv = {NUMBERSEND, s.fifo};
    auto sent = kit::run(io);
    EXPECT_EQ(sent.status, 1);
    EXPECT_EQ(sent.err, err);
    auto received = receiver.finish();
    EXPECT_EQ(received.status, 0);
    return received.out;
}

// What the server on port 8080 of this namespace sends, once it listens.
std::string serverSends()
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(8080);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int tries = 0; tries < 2000; ++tries) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            timeval limit{10, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            std::string bytes;
            char buf[256];
            for (ssize_t got; (got = read(fd, buf, sizeof buf)) > 0;)
                bytes.append(buf, got);
            close(fd);
            return bytes;
        }
        close(fd);
        std::this_thread::sleep_for(10ms);
    }
    return "(no connection)";
}

// The destination is another name of the source: the mover refuses it with
// both open. With all three closed, the source's folder, the source and the
// destination would take their numbers, the destination standard error's.
void moveOntoItself(Scene& s, std::vector<std::string> argv, const std::string& otherName)
{
    ASSERT_EQ(link(s.file.c_str(), otherName.c_str()), 0);
    kit::expectFailure(kit::run({.argv = argv, .closed = {0, 1, 2}}), "");
    EXPECT_EQ(kit::readFile(s.file), "abc");
}

// An object of the caller's own that others may read is refused with its
// descriptor open where standard error was.
void objectOpenToOthers(Scene& s, const char* program)
{
    int fd = shm_open(s.shm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(fchmod(fd, 0644), 0);
    ASSERT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    kit::expectFailure(kit::run({.argv = {program, s.shm}, .closed = {2}}), "");
    EXPECT_EQ(kit::readFile("/dev/shm" + s.shm), "abc");
}

const std::vector<Attack> closedDescriptors = {
    // Standard output closed: no number goes out whose line was lost.
    // Standard error closed: the message of a failed read does not follow
    // the first number as records.
    {"numbersend", [](Scene& s) {
         ASSERT_EQ(mkfifo(s.fifo.c_str(), 0600), 0);
         EXPECT_EQ(numbersSent(s, {.input = "yes\nno\n", .closed = {1}}, kit::perrorLine("....", EBADF)), "");
         EXPECT_EQ(kit::lines(numbersSent(s, {.inputPath = "/", .closed = {2}}, "")).size(), 1u);
     }},
    // The reply is not sent back, nor the peer's line read as input, nor a
    // message sent to the peer.
    {"client", [](Scene&) {
         EXPECT_EQ(clientSends({.input = "x\ny\n", .closed = {1}}, kit::perrorLine("....", EBADF)), "x\n");
         EXPECT_EQ(clientSends({.input = "x\n", .closed = {0}}, kit::perrorLine("....", EBADF)), "");
         EXPECT_EQ(clientSends({.inputPath = "/", .closed = {2}}, ""), "");
     }},
    // The first connection would take descriptor 2; its failed write's
    // complaint must not reach it.
    {"server", [](Scene&) {
         SKIP_UNLESS_ROOT("a private network namespace");
         ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
         ASSERT_EQ(kit::run({.argv = {"ip", "link", "set", "lo", "up"}}).status, 0);
         kit::Process server({.argv = {SERVER}, .closed = {0, 2}, .fault = kit::Fault{"write", "EPIPE"}});
         EXPECT_EQ(serverSends(), "");
         server.finish(0ms);
     }},
    // Standard error closed: the file would take its place and the message.
    {"seeksize", [](Scene& s) {
         kit::expectFailure(
             kit::run({.argv = {SEEKSIZE, s.file}, .closed = {2}, .fault = kit::Fault{"lseek", "EIO", "1", s.file}}),
             "");
         EXPECT_EQ(kit::readFile(s.file), "abc");
     }},
    {"fdmodes", [](Scene& s) {
         std::string work = s.dir / "1.txt";
         kit::writeFile(work, "old");
         kit::expectFailure(kit::run({.argv = {FDMODES}, .closed = {2}, .cwd = s.dir.path(),
                                      .fault = kit::Fault{"write", "ENOSPC", "1", work}}),
                            "");
         EXPECT_EQ(kit::readFile(work), "old");
     }},
    {"relocate", [](Scene& s) { moveOntoItself(s, {RELOCATE, s.file, s.dir / "b.txt"}, s.dir / "b.txt"); }},
    {"relocate2", [](Scene& s) { moveOntoItself(s, {RELOCATE2, s.file, s.dir / "b.txt"}, s.dir / "b.txt"); }},
    {"resuffix", [](Scene& s) { moveOntoItself(s, {RESUFFIX, s.file, "md"}, s.dir / "a.md"); }},
    {"shmtalk", [](Scene& s) { objectOpenToOthers(s, SHMTALK); }},
    {"shmtalk2", [](Scene& s) { objectOpenToOthers(s, SHMTALK2); }},
    {"shmlisten", [](Scene& s) { objectOpenToOthers(s, SHMLISTEN); }},
};

std::string nameOfAttack(const testing::TestParamInfo<Attack>& info)
{
    return info.param.name;
}

class ClosedDescriptor : public testing::TestWithParam<Attack> {};
INSTANTIATE_TEST_SUITE_P(Edges, ClosedDescriptor, testing::ValuesIn(closedDescriptors), nameOfAttack);
KIT_RUNS_P(ClosedDescriptor, IsNeverTheProgramsOwnFile, numbersend, "numberrecv");

TEST_P(ClosedDescriptor, IsNeverTheProgramsOwnFile)
{
    Scene scene;
    GetParam().run(scene);
}

// The programs that keep a closed standard descriptor for /dev/null, each
// with a command line that would succeed and the message it ends with when
// /dev/null cannot take that place (printed by perror, or alone).
struct Guarded {
    const char* name;
    std::function<std::vector<std::string>(Scene&)> argv;
    std::string message;
    bool withErrorText = true;
    bool fillsInput = true;  // fdmodes looks at standard input as it came
    // The line it ends with, for `error`.
    std::string line(int error) const { return withErrorText ? kit::perrorLine(message, error) : message + "\n"; }
};

void PrintTo(const Guarded& guarded, std::ostream* os) { *os << guarded.name; }

const std::vector<Guarded> guarded = {
    {"relocate", [](Scene& s) { return std::vector<std::string>{RELOCATE, s.file, s.dir / "b"}; }, "..."},
    {"relocate2", [](Scene& s) { return std::vector<std::string>{RELOCATE2, s.file, s.dir / "b"}; }, "..."},
    {"resuffix", [](Scene& s) { return std::vector<std::string>{RESUFFIX, s.file, "md"}; }, "..."},
    {"seeksize", [](Scene& s) { return std::vector<std::string>{SEEKSIZE, s.file}; }, "...", false},
    {"fdmodes", [](Scene&) { return std::vector<std::string>{FDMODES}; }, "....", true, false},
    {"pwlookup", [](Scene&) { return std::vector<std::string>{PWLOOKUP, "root"}; }, "...", false},
    {"shmtalk", [](Scene& s) { return std::vector<std::string>{SHMTALK, s.shm}; }, "...."},
    {"shmtalk2", [](Scene& s) { return std::vector<std::string>{SHMTALK2, s.shm}; }, "...."},
    {"shmlisten", [](Scene& s) { return std::vector<std::string>{SHMLISTEN, s.shm}; }, "...."},
    {"numbersend", [](Scene& s) { return std::vector<std::string>{NUMBERSEND, s.fifo}; }, "..."},
    {"endprobe", [](Scene& s) { return std::vector<std::string>{ENDPROBE, "-r", s.file}; }, "..."},
    {"client", [](Scene&) { return std::vector<std::string>{CLIENT, "127.0.0.1", "9"}; }, "...."},
    {"server", [](Scene&) { return std::vector<std::string>{SERVER}; }, "...."},
};

std::string nameOfGuarded(const testing::TestParamInfo<Guarded>& info)
{
    return info.param.name;
}

// The tree holds a.txt alone, as it was; no FIFO or object was made.
void expectNothingMade(const Scene& s)
{
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(s.dir.path()), {}), 1);
    EXPECT_EQ(kit::readFile(s.file), "abc");
    EXPECT_FALSE(kit::exists("/dev/shm" + s.shm));
}

class NullDevice : public testing::TestWithParam<Guarded> {};
INSTANTIATE_TEST_SUITE_P(Edges, NullDevice, testing::ValuesIn(guarded), nameOfGuarded);

// Without /dev/null to hold a closed descriptor the program ends at once,
// before it makes or opens anything.
TEST_P(NullDevice, MissingEndsBeforeAnythingIsMade)
{
    Scene scene;
    auto r = kit::run({.argv = GetParam().argv(scene), .closed = {1}, .cwd = scene.dir.path(),
                       .fault = kit::Fault{"openat", "ENFILE", "1", "/dev/null"}});
    kit::expectFailure(r, GetParam().line(ENFILE));
    expectNothingMade(scene);
}

// Only the null device stands in, and looking for it never waits: with a
// FIFO in its place (in a mount namespace of the case's own) the program
// ends at once, whichever descriptor was closed. Standard error closed, the
// message is lost with it.
TEST_P(NullDevice, AFifoInItsPlaceIsRefusedAtOnce)
{
    SKIP_UNLESS_ROOT("a private mount namespace");
    const struct {
        int closed;
        int error;
    } rows[] = {{0, ENXIO}, {1, ENODEV}, {2, 0}};
    for (auto [closed, error] : rows) {
        if (closed == 0 && !GetParam().fillsInput)
            continue;
        SCOPED_TRACE(closed);
        Scene scene;
        std::string null = scene.dir / "null";
        ASSERT_EQ(mkfifo(null.c_str(), 0666), 0);
        std::vector<std::string> argv{"unshare", "--mount", "sh", "-c",
                                      "mount --bind \"$1\" /dev/null && shift && exec \"$@\" " +
                                          std::to_string(closed) + "<&-",
                                      "sh", null};
        auto command = GetParam().argv(scene);
        auto program = kit::command(command[0]);
        argv.insert(argv.end(), program.begin(), program.end());
        argv.insert(argv.end(), command.begin() + 1, command.end());
        auto r = kit::run({.argv = argv, .cwd = scene.dir.path(), .deadline = 5s});
        EXPECT_FALSE(r.timedOut);
        kit::expectFailure(r, closed == 2 ? "" : GetParam().line(error));
        ASSERT_EQ(unlink(null.c_str()), 0);
        expectNothingMade(scene);
    }
}

}  // namespace
