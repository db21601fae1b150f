// Failures at the edges of every program: a result that cannot be written to
// standard output, and standard input that cannot be read, end in one line and
// status 1, never in a silent success.
#include "kit.h"

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <functional>

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
    {"findrecent", "...: " + full, [](Scene& s, auto io) { return plain(io, {FINDRECENT, s.dir.path()}); }},
    {"findrecent2", "...: " + full, [](Scene& s, auto io) { return plain(io, {FINDRECENT2, s.dir.path()}); }},
    {"seeksize", "...", [](Scene& s, auto io) { return plain(io, {SEEKSIZE, s.file}); }},
    {"seeksize2", "...", [](Scene& s, auto io) { return plain(io, {SEEKSIZE2, s.file}); }},
    {"pwlookup", "...", [](Scene&, auto io) { return plain(io, {PWLOOKUP, "root"}); }},
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

}  // namespace
