#include "FileFormatTable.h"
#include "FrameCount.h"
#include "Recorder.h"
#include "TemporaryFolder.h"
#include "TimestampLines.h"

#include <Norvex/Core/StringHelpers.h>

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QString>
#include <sys/stat.h>

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
    int warningsAnnounced = 0;

    Recorder::Callbacks Callbacks()
    {
        return {[this](const Exception&) { ++reportedFailures; }, [this] { ++stateChanges; },
                [this]
                {
                    ++warningsAnnounced;
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
        recorder.OnFrame(frame, {}, IndexOf("avi"));
    }
    // A snap while the movie is open is one more frame of it, outside the cap.
    EXPECT_EQ(recorder.SaveFrame(frame, L"", IndexOf("avi")), L"");
    recorder.Stop();
    EXPECT_FALSE(recorder.IsRecording());
    // The count is what the file holds, the snap among them.
    EXPECT_EQ(recorder.GetRecordedFrameCount(), 4);
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
            recorder.OnFrame(empty, {}, IndexOf("png"));
            std::this_thread::yield();
        }
        catch (const Exception&)
        {
            raised = true;
        }
    }
    ASSERT_TRUE(raised);
    // From now on nothing is taken, not even a good frame, and nothing is raised twice.
    recorder.OnFrame(GreyFrame(64, 48), {}, IndexOf("png"));
    EXPECT_NO_THROW(recorder.Stop());
    EXPECT_EQ(recorder.GetRecordedFrameCount(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
    EXPECT_EQ(events.stateChanges, 2);
    EXPECT_EQ(events.reportedFailures, 0);
}

TEST(RecorderTest, TheTimestampFileListsEveryFrameOfTheMovieWithTheDropsBeforeIt)
{
    // A camera that skipped three frames: the file has a line for each frame in the movie, with
    // the camera's numbers and times and the gap before the frame after it; the counts the status
    // bar shows agree, and the drop warning comes once, at the stop of so short a recording.
    Norvex::Testing::TemporaryFolder folder;
    RecorderEvents events;
    Recorder recorder(events.Callbacks());
    const auto movie = folder / "gap.avi";
    recorder.Start(IndexOf("avi"), ToWideString(movie.string()), {64, 48, 30, 5000});
    const auto frame = GreyFrame(64, 48);
    const std::chrono::steady_clock::time_point start(std::chrono::seconds(1000));
    Recorder::FrameInfo info;
    info.fromDriver = true;
    for (std::uint64_t sequence = 0; sequence < 12; ++sequence)
    {
        if (sequence >= 5 && sequence <= 7)
        {
            ++info.droppedFrames;
            continue;
        }
        info.sequence = sequence;
        info.captureTime = start + std::chrono::milliseconds(40) * sequence;
        info.wallClock = std::chrono::system_clock::now();
        recorder.OnFrame(frame, info, IndexOf("avi"));
    }
    EXPECT_EQ(events.warningsAnnounced, 0) << "too few frames to judge while recording";
    const auto running = recorder.GetStatus();
    EXPECT_TRUE(running.recording);
    EXPECT_EQ(running.written, 9);
    EXPECT_EQ(running.dropped, 3);
    recorder.Stop();

    const Norvex::Testing::TimestampLines csv(folder / "gap.avi.frames.csv");
    ASSERT_EQ(static_cast<long>(csv.lines.size()), CountFrames(movie));
    EXPECT_EQ(csv.header, (std::vector<std::string>{"index", "capture_time_s", "time_source", "wall_clock",
                                                    "sequence", "dropped_before"}));
    EXPECT_EQ(csv.Column("index"), (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7", "8"}));
    EXPECT_EQ(csv.Column("sequence"),
              (std::vector<std::string>{"0", "1", "2", "3", "4", "8", "9", "10", "11"}));
    EXPECT_EQ(csv.Column("dropped_before"),
              (std::vector<std::string>{"0", "0", "0", "0", "0", "3", "0", "0", "0"}));
    EXPECT_EQ(csv.Column("capture_time_s")[5], "1000.320000");
    EXPECT_EQ(csv.Column("time_source")[0], "driver");
    EXPECT_EQ(recorder.GetStatus().dropped, 3);
    EXPECT_FALSE(recorder.GetStatus().recording);
    EXPECT_EQ(events.warningsAnnounced, 1);
    EXPECT_EQ(
        recorder.TakeWarnings(),
        std::vector<std::wstring>{L"録画でフレームが欠落しています (12 フレーム中 3 フレーム、25.0%)。"});
    EXPECT_TRUE(recorder.TakeWarnings().empty()) << "given once";
}

TEST(RecorderTest, ARecordingWithoutFramesLeavesNoFileBehindAndSaysSo)
{
    // The default "Snapされたフレーム" with no snap: no empty movie, no time-stamp file, one word.
    Norvex::Testing::TemporaryFolder folder;
    RecorderEvents events;
    Recorder recorder(events.Callbacks());
    const auto movie = folder / "nothing.mp4";
    recorder.Start(IndexOf("h264"), ToWideString(movie.string()), {64, 48, 30, 5000});
    recorder.Stop();
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
    EXPECT_EQ(
        recorder.TakeWarnings(),
        std::vector<std::wstring>{L"フレームが1つも録画されなかったため、空の動画ファイルを削除しました。"});

    // A still recording's folder is the user's: it stays.
    recorder.Start(IndexOf("png"), ToWideString(folder.Path().string()), {64, 48, 30, 5000});
    recorder.Stop();
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
    EXPECT_EQ(recorder.TakeWarnings(), std::vector<std::wstring>{L"フレームが1つも録画されませんでした。"});

    // One snap is a recording: kept, with its line stamped when it was taken.
    recorder.Start(IndexOf("h264"), ToWideString(movie.string()), {64, 48, 30, 5000});
    recorder.SaveFrame(GreyFrame(64, 48), L"", IndexOf("h264"));
    recorder.Stop();
    EXPECT_EQ(CountFrames(movie), 1);
    EXPECT_EQ(Norvex::Testing::TimestampLines(folder / "nothing.mp4.frames.csv").Column("time_source"),
              std::vector<std::string>{"arrival"});
    EXPECT_TRUE(recorder.TakeWarnings().empty());
    EXPECT_EQ(events.warningsAnnounced, 2);
}

// The still queue reuses its buffers: each file of a JPEG still recording must still hold its own
// frame's picture, not a neighbour's or a half-written one.
TEST(RecorderTest, EveryJpegStillHoldsItsOwnFrame)
{
    Norvex::Testing::TemporaryFolder folder;
    RecorderEvents events;
    Recorder recorder(events.Callbacks());
    constexpr int frames = 24;
    // A small queue, so that its items are refilled many times over.
    recorder.Start(IndexOf("jpg"), ToWideString(folder.Path().string()), {64, 48, 2, 5000});
    std::multiset<int> sent;
    for (int frame = 0; frame < frames; ++frame)
    {
        const int level = 16 + frame * 9;
        Recorder::Image picture = GreyFrame(64, 48);
        for (std::int32_t y = 0; y < picture.height; ++y)
        {
            for (std::int32_t x = 0; x < picture.width; ++x)
            {
                const auto value = static_cast<unsigned char>(level);
                picture.At(x, y) = {value, value, value, 255};
            }
        }
        recorder.OnFrame(picture, {}, IndexOf("jpg"));
        sent.insert(level);
    }
    recorder.Stop();
    ASSERT_EQ(recorder.GetRecordedFrameCount(), frames);
    std::multiset<int> saved;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path()))
    {
        if (entry.path().extension() != ".jpg")
        {
            continue; // the time-stamp file
        }
        const QImage read(QString::fromStdString(entry.path().string()));
        ASSERT_FALSE(read.isNull()) << entry.path();
        const QColor first = read.pixelColor(0, 0);
        const QColor last = read.pixelColor(read.width() - 1, read.height() - 1);
        EXPECT_NEAR(first.green(), last.green(), 1) << entry.path();
        saved.insert(first.green());
    }
    ASSERT_EQ(saved.size(), sent.size());
    // Grey levels survive JPEG within a level or two; they lie 9 apart.
    auto expected = sent.begin();
    for (const int level : saved)
    {
        EXPECT_NEAR(level, *expected++, 2);
    }
}

TEST(RecorderTest, AFifoWhereTheTimestampFileGoesIsRefusedNotWaitedOn)
{
    // Opening a FIFO for writing waits for a reader: the capture thread would hang for ever.
    Norvex::Testing::TemporaryFolder folder;
    RecorderEvents events;
    Recorder recorder(events.Callbacks());
    const auto movie = folder / "piped.avi";
    ASSERT_EQ(::mkfifo((movie.string() + ".frames.csv").c_str(), 0600), 0);
    recorder.Start(IndexOf("avi"), ToWideString(movie.string()), {64, 48, 30, 5000});
    try
    {
        recorder.OnFrame(GreyFrame(64, 48), {}, IndexOf("avi"));
        FAIL() << "a FIFO was written to";
    }
    catch (const Exception& exception)
    {
        EXPECT_NE(exception.GetMessage().find(L"通常のファイルではないため"), std::wstring::npos);
    }
    recorder.Stop();
    EXPECT_EQ(CountFrames(movie), 1) << "the frame itself is in the movie";
}

TEST(RecorderTest, AWmv3RateBelowWhatTheEncoderCanReachIsToldOnceAndTheRecordingGoesOn)
{
    // Noise at 1 kbit/s cannot be held to the rate even at the coarsest quantiser: the movie keeps
    // every frame, larger than asked, and the user hears of it once over several groups of
    // pictures. The same pictures at a rate they fit in say nothing.
    Norvex::Testing::TemporaryFolder folder;
    Recorder::Image frame(64, 48);
    std::uint32_t seed = 1;
    for (const std::int32_t kbps : {1, 20000})
    {
        RecorderEvents events;
        Recorder recorder(events.Callbacks());
        const auto movie = folder / ("rate" + std::to_string(kbps) + ".wmv");
        recorder.Start(IndexOf("wmv3"), ToWideString(movie.string()), {64, 48, 30, kbps});
        const std::chrono::steady_clock::time_point start(std::chrono::seconds(1000));
        Recorder::FrameInfo info;
        for (int index = 0; index < 40; ++index)
        {
            for (std::int32_t y = 0; y < 48; ++y)
            {
                for (std::int32_t x = 0; x < 64; ++x)
                {
                    seed = seed * 1664525 + 1013904223;
                    const auto level = static_cast<unsigned char>(seed >> 24);
                    frame.At(x, y) = {level, level, level, 255};
                }
            }
            info.captureTime = start + std::chrono::milliseconds(33) * index;
            recorder.OnFrame(frame, info, IndexOf("wmv3"));
        }
        recorder.Stop();
        EXPECT_EQ(CountFrames(movie), 40) << kbps;
        if (kbps == 1)
        {
            EXPECT_GT(std::filesystem::file_size(movie), 40 * 1000 / 8 / 30 * 2);
            EXPECT_EQ(recorder.TakeWarnings(),
                      std::vector<std::wstring>{
                          L"WMV3: 指定のビットレートは低すぎます。最も低い画質でも収まらないため、"
                          L"動画ファイルは指定より大きくなります。"});
            EXPECT_EQ(events.warningsAnnounced, 1);
        }
        else
        {
            EXPECT_TRUE(recorder.TakeWarnings().empty());
        }
    }
}
