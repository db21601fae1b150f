// The attribute and account tools: permswap, permswap2, seeksize, seeksize2,
// umask, erase, fdmodes and pwlookup.
#include "kit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>

namespace {

using kit::expectFailure;
using kit::perrorLine;

// Success for the silent programs: status 0 and nothing on either output.
void expectSilentSuccess(const kit::Result& r)
{
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// permswap and permswap2 differ only in their messages.
struct Swapper {
    const char* name;
    const char* program;
    const char* statMessage;
    const char* chmodMessage;
};

const Swapper swappers[] = {
    {"permswap", PERMSWAP, "...", "..."},
    {"permswap2", PERMSWAP2, "stat", "chmod"},
};

void PrintTo(const Swapper& swapper, std::ostream* out)
{
    *out << swapper.name;
}

class Swap : public testing::TestWithParam<Swapper> {};

INSTANTIATE_TEST_SUITE_P(All, Swap, testing::ValuesIn(swappers),
                         [](const auto& info) { return std::string(info.param.name); });

// Group and other exchanged, the owner kept, set-id and sticky bits dropped;
// a second run gives the nine bits back.
TEST_P(Swap, ExchangesGroupAndOther)
{
    const struct {
        mode_t before, after;
    } cases[] = {{0640, 0604}, {0754, 0745}, {0777, 0777}, {04755, 0755},
                 {01777, 0777}, {02070, 0007}, {0000, 0000}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.before);
        kit::TempDir dir;
        kit::writeFile(dir / "f", "bytes", c.before);
        expectSilentSuccess(kit::run({.argv = {GetParam().program, dir / "f"}}));
        EXPECT_EQ(kit::modeOf(dir / "f"), c.after);
        expectSilentSuccess(kit::run({.argv = {GetParam().program, dir / "f"}}));
        EXPECT_EQ(kit::modeOf(dir / "f"), c.before & 0777);
        EXPECT_EQ(kit::readFile(dir / "f"), "bytes");
    }
}

TEST_P(Swap, LinkChangesItsTarget)
{
    kit::TempDir dir;
    kit::writeFile(dir / "target", "", 0751);
    ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
    expectSilentSuccess(kit::run({.argv = {GetParam().program, dir / "link"}}));
    EXPECT_EQ(kit::modeOf(dir / "target"), 0715);
}

TEST_P(Swap, DirectoryLosesItsStickyBit)
{
    kit::TempDir dir;
    kit::makeDir(dir / "d", 01750);
    expectSilentSuccess(kit::run({.argv = {GetParam().program, dir / "d"}}));
    EXPECT_EQ(kit::modeOf(dir / "d"), 0705);
}

TEST_P(Swap, Failures)
{
    kit::TempDir dir;
    ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
    const char* program = GetParam().program;
    expectFailure(kit::run({.argv = {program}}), perrorLine("...", 0));
    expectFailure(kit::run({.argv = {program, "a", "b"}}), perrorLine("...", 0));
    expectFailure(kit::run({.argv = {program, dir / "missing"}}),
                  perrorLine(GetParam().statMessage, ENOENT));
    expectFailure(kit::run({.argv = {program, dir / "dangling"}}),
                  perrorLine(GetParam().statMessage, ENOENT));
}

TEST_P(Swap, AnotherUsersFileIsRefused)
{
    SKIP_UNLESS_ROOT("a file of root's, changed by uid 65534");
    kit::TempDir dir;
    kit::writeFile(dir / "f", "", 04640);
    auto r = kit::run({.argv = {GetParam().program, dir / "f"}, .unprivileged = true});
    expectFailure(r, perrorLine(GetParam().chmodMessage, EPERM));
    EXPECT_EQ(kit::modeOf(dir / "f"), 04640);
}

}  // namespace
