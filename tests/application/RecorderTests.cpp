#include "FileFormatTable.h"
#include "FrameCount.h"
#include "Recorder.h"
#include "TemporaryFolder.h"

#include <Norvex/Core/StringHelpers.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

using Norvex::Core::Exception;
using Norvex::Core::ToWideString;
using Norvex::Testing::CountFrames;
using VistelCapture::FileFormatRow;
using VistelCapture::FileFormatTable;
using VistelCapture::Recorder;

namespace
{

std::int32_t IndexOf(std::string_view name)
{
    const std::int32_t index = FileFormatTable::IndexOfName(name);
    EXPECT_GE(index, 0) << name;
    return index;
}

struct RecorderEvents
{
    int stateChanges = 0;
    int reportedFailures = 0;

    Recorder::Callbacks Callbacks()
    {
        return {[this](const Exception&) { ++reportedFailures; },
                [this]
                {
                    ++stateChanges;
                }};
    }
};

Recorder::Image GreyFrame(std::int32_t width, std::int32_t height)
{
    Recorder::Image frame(width, height);
    for (std::int32_t y = 0; y < height; ++y)
    {
        for (std::int32_t x = 0; x < width; ++x)
        {
            frame.At(x, y) = {128, 128, 128, 255};
        }
    }
    return frame;
}

} // namespace

TEST(FileFormatTableTest, EveryNameFindsOneRowAndEveryStillExtensionIsOneOfItsNames)
{
    // A name listed twice would make the command line pick the first row silently; a still file
    // named by its extension alone ("frame.tif") must come out in that format.
    std::set<std::string_view> names;
    for (const auto& row : FileFormatTable::Rows())
    {
        for (const auto name : row.names)
        {
            if (!name.empty())
            {
                EXPECT_TRUE(names.insert(name).second) << name;
                EXPECT_EQ(&FileFormatTable::Rows()[FileFormatTable::IndexOfName(name)], &row) << name;
            }
        }
        const std::string suffix = Norvex::Core::ToUtf8(std::wstring(row.Suffix()));
        EXPECT_NE(std::string_view(row.dialogFilter).find("*." + suffix), std::string_view::npos) << suffix;
        if (row.IsStill())
        {
            EXPECT_EQ(FileFormatTable::IndexOfName(suffix), FileFormatTable::IndexOf(row)) << suffix;
        }
    }
    EXPECT_EQ(FileFormatTable::IndexOfName("TIFF"), IndexOf("tif"));
    EXPECT_EQ(FileFormatTable::Find(-1), nullptr);
    EXPECT_EQ(FileFormatTable::Find(static_cast<std::int32_t>(FileFormatTable::Rows().size())), nullptr);
}

TEST(RecorderTest, AFormatOutsideTheTableIsRefusedBeforeAnythingStarts)
{
    // A FileFormat edited into the INI file must not start a recording whose every frame fails.
    Norvex::Testing::TemporaryFolder folder;
    RecorderEvents events;
    Recorder recorder(events.Callbacks());
    for (const std::int32_t format : {-1, static_cast<std::int32_t>(FileFormatTable::Rows().size())})
    {
        try
        {
            recorder.Start(format, ToWideString(folder.Path().string()), {64, 48, 30, 5000});
            FAIL() << "no exception for " << format;
        }
        catch (const Exception& exception)
        {
            EXPECT_EQ(exception.GetMessage(), L"サポートされていないフォーマットが指定されました。");
        }
        EXPECT_FALSE(recorder.IsRecording());
        EXPECT_THROW(recorder.SaveFrame(GreyFrame(64, 48), L"", format), Exception);
    }
    EXPECT_EQ(events.stateChanges, 0);
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
}

TEST(RecorderTest, AMovieTakesFramesUpToTheLimitAndSnapsAppendToIt)
{
    Norvex::Testing::TemporaryFolder folder;
    RecorderEvents events;
    Recorder recorder(events.Callbacks());
    recorder.SetFrameLimit(3);
    const auto movie = folder / "movie.avi";
    recorder.Start(IndexOf("avi"), ToWideString(movie.string()), {64, 48, 30, 5000});
    EXPECT_TRUE(recorder.IsRecording());
    const auto frame = GreyFrame(64, 48);
    for (int i = 0; i < 5; ++i)
    {
        recorder.OnFrame(frame, IndexOf("avi"));
    }
    // A snap while the movie is open is one more frame of it, outside the cap.
    EXPECT_EQ(recorder.SaveFrame(frame, L"", IndexOf("avi")), L"");
    recorder.Stop();
    EXPECT_FALSE(recorder.IsRecording());
    EXPECT_EQ(recorder.GetRecordedFrameCount(), 3);
    EXPECT_EQ(events.stateChanges, 2);
    EXPECT_EQ(CountFrames(movie), 4);
}

TEST(RecorderTest, AScriptedStillRecordingStopsSavingAtItsFirstFailure)
{
    Norvex::Testing::TemporaryFolder folder;
    RecorderEvents events;
    Recorder recorder(events.Callbacks());
    recorder.SetEndsOnSaveError(true);
    recorder.Start(IndexOf("png"), ToWideString(folder.Path().string()), {64, 48, 30, 5000});
    EXPECT_EQ(recorder.GetSaveFolder(), ToWideString(folder.Path().string()) + L"/");
    // An empty picture cannot be encoded: the still thread fails, and a later frame carries that.
    const Recorder::Image empty;
    bool raised = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!raised && std::chrono::steady_clock::now() < deadline)
    {
        try
        {
            recorder.OnFrame(empty, IndexOf("png"));
            std::this_thread::yield();
        }
        catch (const Exception&)
        {
            raised = true;
        }
    }
    ASSERT_TRUE(raised);
    // From now on nothing is taken, not even a good frame, and nothing is raised twice.
    recorder.OnFrame(GreyFrame(64, 48), IndexOf("png"));
    EXPECT_NO_THROW(recorder.Stop());
    EXPECT_EQ(recorder.GetRecordedFrameCount(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
    EXPECT_EQ(events.stateChanges, 2);
    EXPECT_EQ(events.reportedFailures, 0);
}
