#include "PluginTestSupport.h"
#include "RecordingProcessorControl.h"
#include "TestHostServices.h"

#include "PluginDiscovery.h"
#include "ProcessorEntry.h"

#include <TemporaryFolder.h>

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace
{

using Norvex::Core::Exception;
using VistelCapture::ProcessorEntry;
using VistelTest::TestHostServices;
using Calls = std::vector<std::string>;

// Runs action and returns the status and function name of the exception it raises.
template <class TAction> std::pair<Norvex::Core::HRESULT, std::wstring> FailureOf(TAction action)
{
    try
    {
        action();
    }
    catch (const Exception& exception)
    {
        return {exception.GetErrorCode(), exception.GetFunctionName()};
    }
    return {Norvex::Core::S_OK, L""};
}

TEST(BuiltInEntry, ShowsTheFrameUnchangedAndHoldsTheHostOnlyWhileLive)
{
    TestHostServices host;
    host.sourceImage.Resize(2, 2);
    ProcessorEntry entry(nullptr, 0);
    EXPECT_EQ(entry.GetName(), L"なし");
    EXPECT_EQ(entry.GetIndex(), 0);
    EXPECT_EQ(entry.GetProcessor(), nullptr);

    entry.Initialize(&host);
    auto* processor = entry.GetProcessor();
    ASSERT_NE(processor, nullptr);
    EXPECT_NE(dynamic_cast<ProcessorEntry::DummyProcessor*>(processor), nullptr);
    EXPECT_EQ(processor->GetImage(), &host.sourceImage);
    EXPECT_EQ(host.GetReferenceCount(), 2u);

    // A live entry keeps its processor.
    entry.Initialize(&host);
    EXPECT_EQ(entry.GetProcessor(), processor);
    EXPECT_EQ(host.GetReferenceCount(), 2u);

    entry.Finalize();
    EXPECT_EQ(entry.GetProcessor(), nullptr);
    EXPECT_EQ(host.GetReferenceCount(), 1u);
    entry.Finalize();
    EXPECT_EQ(host.GetReferenceCount(), 1u);
}

TEST(BuiltInEntry, AFailedInitializeRaisesAndKeepsTheProcessor)
{
    ProcessorEntry entry(nullptr, 0);
    using Failure = std::pair<Norvex::Core::HRESULT, std::wstring>;
    EXPECT_EQ(FailureOf([&] { entry.Initialize(nullptr); }), Failure(Norvex::Core::E_POINTER, L"Initialize"));
    EXPECT_NE(entry.GetProcessor(), nullptr);
    entry.Finalize();
    EXPECT_EQ(entry.GetProcessor(), nullptr);
}

class RecorderEntryTest : public ::testing::Test
{
protected:
    RecorderEntryTest()
        : path(VistelTest::CopyTestPlugin("Recorder", folder.Path(), "VistelRecorder.so")), control(path),
          entries(VistelCapture::DiscoverProcessorEntries(Norvex::Core::ToWideString(folder.Path().string()) +
                                                          L"/"))
    {
    }

    ProcessorEntry& Entry(std::size_t index) { return *entries.at(index); }

    Norvex::Testing::TemporaryFolder folder;
    std::filesystem::path path;
    VistelTest::RecordingProcessorControl control;
    // Before the entries: processors they still hold release it when the entries go.
    TestHostServices host;
    std::vector<std::shared_ptr<ProcessorEntry>> entries;
};

TEST_F(RecorderEntryTest, EachInitializeMakesAFreshProcessorAndFinalizeEndsIt)
{
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(Entry(1).GetName(), L"記録");
    EXPECT_EQ(Entry(2).GetName(), L"記録 2");
    // Naming creates nothing.
    EXPECT_EQ(control.TakeCalls(), Calls{});

    Entry(2).Initialize(&host);
    EXPECT_EQ(control.TakeCalls(), (Calls{"1 Create 1", "1 Initialize host"}));
    EXPECT_EQ(host.GetReferenceCount(), 2u);
    Entry(2).Finalize();
    EXPECT_EQ(control.TakeCalls(), (Calls{"1 Finalize", "1 Destroy"}));
    EXPECT_EQ(host.GetReferenceCount(), 1u);

    Entry(2).Initialize(&host);
    Entry(2).Initialize(&host);
    EXPECT_EQ(control.TakeCalls(), (Calls{"2 Create 1", "2 Initialize host"}));
    EXPECT_EQ(control.GetLiveCount(), 1);
    Entry(2).Finalize();
    EXPECT_EQ(control.GetLiveCount(), 0);
}

TEST_F(RecorderEntryTest, FailuresOfTheProcessorRaiseAndTheEntryKeepsIt)
{
    using Failure = std::pair<Norvex::Core::HRESULT, std::wstring>;
    control.Configure("Initialize");
    EXPECT_EQ(FailureOf([&] { Entry(1).Initialize(&host); }), Failure(Norvex::Core::E_FAIL, L"Initialize"));
    EXPECT_NE(Entry(1).GetProcessor(), nullptr);
    EXPECT_EQ(control.GetLiveCount(), 1);

    control.Configure("Finalize");
    EXPECT_EQ(FailureOf([&] { Entry(1).Finalize(); }), Failure(Norvex::Core::E_FAIL, L"Finalize"));
    EXPECT_NE(Entry(1).GetProcessor(), nullptr);
    EXPECT_EQ(control.TakeCalls(), (Calls{"1 Create 0", "1 Initialize host", "1 Finalize"}));

    // Destroying the entry releases what it kept.
    entries.clear();
    EXPECT_EQ(control.TakeCalls(), Calls{"1 Destroy"});
    EXPECT_EQ(control.GetLiveCount(), 0);
}

TEST_F(RecorderEntryTest, AFactoryThatThrowsFailsTheSelectionAndTheBuiltInStaysUsable)
{
    control.Configure("ThrowingCreateProcessor");
    try
    {
        Entry(1).Initialize(&host);
        ADD_FAILURE() << "a throwing factory must fail Initialize";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetFunctionName(), L"Initialize");
        EXPECT_NE(exception.GetMessage().find(L"記録"), std::wstring::npos) << "names the processor";
    }
    EXPECT_EQ(Entry(1).GetProcessor(), nullptr);
    EXPECT_EQ(control.GetLiveCount(), 0);

    Entry(0).Initialize(&host);
    EXPECT_NE(Entry(0).GetProcessor(), nullptr);
    Entry(0).Finalize();
    control.Configure("");
    Entry(1).Initialize(&host);
    EXPECT_NE(Entry(1).GetProcessor(), nullptr);
    Entry(1).Finalize();
}

TEST_F(RecorderEntryTest, AFactoryThatCreatesNothingLeavesTheEntryIdle)
{
    using Failure = std::pair<Norvex::Core::HRESULT, std::wstring>;
    control.Configure("CreateProcessor");
    EXPECT_EQ(FailureOf([&] { Entry(1).Initialize(&host); }), Failure(Norvex::Core::E_FAIL, L"Initialize"));
    EXPECT_EQ(Entry(1).GetProcessor(), nullptr);

    // Success without an object is a failure too, not a null processor to call later.
    control.Configure("NullProcessor");
    EXPECT_EQ(FailureOf([&] { Entry(1).Initialize(&host); }),
              Failure(Norvex::Core::E_POINTER, L"Initialize"));
    EXPECT_EQ(Entry(1).GetProcessor(), nullptr);

    control.Configure("");
    Entry(1).Initialize(&host);
    EXPECT_NE(Entry(1).GetProcessor(), nullptr);
    EXPECT_EQ(control.TakeCalls(), (Calls{"1 Create 0", "1 Initialize host"}));
    EXPECT_EQ(host.GetReferenceCount(), 2u);
}

TEST_F(RecorderEntryTest, TheRecorderSeesEveryCallWithItsArguments)
{
    Entry(1).Initialize(&host);
    auto* processor = Entry(1).GetProcessor();
    control.Configure("", true);
    const Vistel::Framework::Point2F point{2.5f, 7.0f};
    bool capture = false;
    processor->OnLButtonDown(Vistel::Framework::MK_LBUTTON, &point, &capture);
    processor->OnMouseMove(Vistel::Framework::MK_LBUTTON | Vistel::Framework::MK_CONTROL, &point);
    processor->OnHostStateChanged(Vistel::Framework::HostStateFrameFormatChanged);
    processor->OnDraw2d(nullptr, 0.5);
    control.Configure("Process");
    EXPECT_EQ(processor->Process(), Norvex::Core::E_FAIL);
    EXPECT_TRUE(capture);
    EXPECT_EQ(control.TakeCalls(),
              (Calls{"1 Create 0", "1 Initialize host", "1 OnLButtonDown 1 2.5 7", "1 OnMouseMove 9 2.5 7",
                     "1 OnHostStateChanged 1", "1 OnDraw2d null 0.5", "1 Process"}));
}

} // namespace
