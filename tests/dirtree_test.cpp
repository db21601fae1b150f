#include "kit.h"
#include <gtest/gtest.h>
TEST(Dirtree, ArgumentCount)
{
    auto r = kit::run({.argv = {TREEWEIGHT}});
    EXPECT_EQ(r.err, "argumenti: Success\n");
}
