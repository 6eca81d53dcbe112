#include <Norvex/Core/ModulePath.h>
#include <Norvex/Core/StringHelpers.h>

#include <gtest/gtest.h>

using namespace Norvex::Core;

TEST(ModulePath, IsThisTestProgram)
{
    const auto path = GetModulePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), L'/');
    EXPECT_EQ(GetFileName(path), L"CoreTests");
}
