#include <Norvex/Core/GStreamerInitializer.h>
#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/VersionInformation.h>

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <memory>

using namespace Norvex::Core;

TEST(VersionInformation, OneJapaneseTranslationWithTheBuildsVersion)
{
    const VersionInformation version;
    ASSERT_EQ(version.GetEntryCount(), 1u);
    const auto& entry = version.GetEntry(0);
    EXPECT_EQ(entry.translation->language, 0x0411);
    EXPECT_EQ(entry.translation->codePage, 0x04B0);
    EXPECT_STREQ(entry.productName, L"Vistel Capture");
    EXPECT_EQ(ToUtf8(entry.productVersion), NORVEX_EXPECTED_VERSION);
    EXPECT_NE(std::wstring(entry.companyName), L"");
    EXPECT_THROW(version.GetEntry(1), std::out_of_range);
}

TEST(GStreamerInitializer, SharedHoldersKeepTheLibraryUsable)
{
    auto first = std::make_shared<GStreamerInitializer>();
    EXPECT_TRUE(gst_is_initialized());
    auto second = std::make_shared<GStreamerInitializer>();
    first.reset();
    second.reset();
    // Never deinitialised: a later holder and later users still work.
    EXPECT_TRUE(gst_is_initialized());
    auto third = std::make_shared<GStreamerInitializer>();
    GstElement* element = gst_element_factory_make("fakesink", nullptr);
    ASSERT_NE(element, nullptr);
    gst_object_unref(element);
}
