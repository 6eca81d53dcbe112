#include "MovieReader.h"

#include <TemporaryFolder.h>
#include <VideoWriter.h>

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace Norvex::Testing;
using Norvex::Core::E_UNEXPECTED;
using Norvex::Core::Exception;
using Norvex::Core::HRESULT_FROM_WIN32;
using VistelCapture::VideoWriter;

namespace
{

// Runs the call and returns the exception it raised; fails the test when it raised none.
template <class Call> Exception Raised(Call call)
{
    try
    {
        call();
    }
    catch (const Exception& exception)
    {
        return exception;
    }
    ADD_FAILURE() << "no exception";
    return Exception(L"", "", L"", 0);
}

} // namespace

TEST(VideoWriter, AddFrameWithNoFileOpenWritesNothing)
{
    TemporaryFolder folder;
    VideoWriter writer;
    EXPECT_NO_THROW(writer.AddFrame(MakePattern(16, 16, 0)));
    EXPECT_NO_THROW(writer.Close());
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));

    const auto path = folder / "one.avi";
    writer.Open(VideoWriter::Avi, path.wstring(), 16, 16, 30, 0);
    writer.AddFrame(MakePattern(16, 16, 0));
    writer.Close();
    const auto size = std::filesystem::file_size(path);
    EXPECT_NO_THROW(writer.AddFrame(MakePattern(16, 16, 1)));
    EXPECT_NO_THROW(writer.Close());
    EXPECT_EQ(std::filesystem::file_size(path), size);
    EXPECT_EQ(ProbeStream(path, "nb_read_frames", true), "1");
}

TEST(VideoWriter, OpenOnAnOpenFileFinishesItFirst)
{
    TemporaryFolder folder;
    const auto first = folder / "first.avi";
    const auto second = folder / "second.mp4";
    VideoWriter writer;
    writer.Open(VideoWriter::Avi, first.wstring(), 32, 16, 30, 0);
    writer.AddFrame(MakePattern(32, 16, 0));
    writer.AddFrame(MakePattern(32, 16, 1));
    writer.Open(VideoWriter::H264, second.wstring(), 32, 16, 30, 500000);
    // The first file is complete: its index is there and it holds both frames.
    EXPECT_EQ(ProbeStream(first, "nb_frames"), "2");
    EXPECT_EQ(ProbeStream(first, "nb_read_frames", true), "2");
    writer.AddFrame(MakePattern(32, 16, 2));
    writer.Close();
    EXPECT_EQ(ProbeStream(second, "nb_read_frames", true), "1");
}

TEST(VideoWriter, RefusedOpensLeaveTheWriterClosedAndCreateNoFile)
{
    TemporaryFolder folder;
    VideoWriter writer;
    const auto open = folder / "open.avi";
    writer.Open(VideoWriter::Avi, open.wstring(), 16, 16, 30, 0);
    writer.AddFrame(MakePattern(16, 16, 0));

    // A refused Open finishes the open file first all the same.
    const auto zero = folder / "zero.wmv";
    Exception refused = Raised([&] { writer.Open(VideoWriter::Wmv3, zero.wstring(), 16, 16, 0, 5000000); });
    EXPECT_EQ(refused.GetFunctionName(), L"Open");
    EXPECT_FALSE(std::filesystem::exists(zero));
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_EQ(ProbeStream(open, "nb_frames"), "1");

    for (const double rate : {0.0, -30.0})
    {
        const auto path = folder / "rate.avi";
        refused = Raised([&] { writer.Open(VideoWriter::Avi, path.wstring(), 16, 16, rate, 0); });
        EXPECT_NE(refused.GetMessage().find(L"フレームレート"), std::wstring::npos);
        EXPECT_FALSE(std::filesystem::exists(path));
        refused = Raised([&] { writer.Open(VideoWriter::H264, path.wstring(), 16, 16, rate, 0); });
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    const auto odd = folder / "odd.mp4";
    refused = Raised([&] { writer.Open(VideoWriter::H264, odd.wstring(), 641, 480, 30, 1000000); });
    EXPECT_NE(refused.GetMessage().find(L"偶数"), std::wstring::npos);
    EXPECT_FALSE(std::filesystem::exists(odd));
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_NO_THROW(writer.AddFrame(MakePattern(16, 16, 0)));
}

TEST(VideoWriter, AnUnknownFormatIsAnUnexpectedStateUntilTheNextValidOpen)
{
    TemporaryFolder folder;
    VideoWriter writer;
    const auto path = folder / "unknown.avi";
    Exception refused =
        Raised([&] { writer.Open(static_cast<VideoWriter::Format>(7), path.wstring(), 16, 16, 30, 0); });
    EXPECT_EQ(refused.GetErrorCode(), E_UNEXPECTED);
    EXPECT_EQ(refused.GetFunctionName(), L"Open");
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_EQ(Raised([&] { writer.AddFrame(MakePattern(16, 16, 0)); }).GetFunctionName(), L"AddFrame");
    EXPECT_EQ(Raised([&] { writer.Close(); }).GetFunctionName(), L"Close");

    // A valid Open recovers.
    writer.Open(VideoWriter::Avi, path.wstring(), 16, 16, 30, 0);
    writer.AddFrame(MakePattern(16, 16, 0));
    writer.Close();
    EXPECT_EQ(ProbeStream(path, "nb_frames"), "1");
}

TEST(VideoWriter, APathThatCannotBeCreatedFailsOpenWithTheSystemsReason)
{
    TemporaryFolder folder;
    const std::wstring missingText = Norvex::Core::ToWideString(std::strerror(ENOENT));
    for (const auto format : {VideoWriter::Avi, VideoWriter::Wmv1, VideoWriter::Wmv3, VideoWriter::H264})
    {
        VideoWriter writer;
        const auto path = folder / "missing" / "movie.avi";
        Exception failed = Raised([&] { writer.Open(format, path.wstring(), 16, 16, 30, 1000000); });
        EXPECT_EQ(failed.GetErrorCode(), HRESULT_FROM_WIN32(ENOENT)) << format;
        EXPECT_NE(failed.GetMessage().find(missingText), std::wstring::npos) << format;
        EXPECT_FALSE(writer.IsOpen());
    }

    // A full disk when the headers are written: Open fails with the system's reason and takes
    // the empty file it made away again.
    // (The ASF muxer may keep its header in its buffer until the first packet: then Open passes.)
    for (const auto format : {VideoWriter::Avi, VideoWriter::H264})
    {
        VideoWriter writer;
        const auto path = folder / ("full" + std::to_string(format));
        auto limit = std::make_unique<FileSizeLimit>(16);
        Exception failed = Raised([&] { writer.Open(format, path.wstring(), 16, 16, 30, 1000000); });
        limit.reset();
        EXPECT_EQ(failed.GetErrorCode(), HRESULT_FROM_WIN32(EFBIG)) << format;
        EXPECT_FALSE(std::filesystem::exists(path)) << format;
        EXPECT_FALSE(writer.IsOpen());
    }

    if (::geteuid() == 0)
    {
        GTEST_SKIP() << "root may write anywhere: the permission case needs an ordinary user";
    }
    const auto locked = folder / "locked";
    std::filesystem::create_directory(locked);
    ::chmod(locked.c_str(), 0500);
    for (const auto format : {VideoWriter::Avi, VideoWriter::Wmv2, VideoWriter::H264})
    {
        VideoWriter writer;
        Exception failed =
            Raised([&] { writer.Open(format, (locked / "movie").wstring(), 16, 16, 30, 1000000); });
        EXPECT_EQ(failed.GetErrorCode(), HRESULT_FROM_WIN32(EACCES)) << format;
        EXPECT_NE(failed.GetMessage().find(Norvex::Core::ToWideString(std::strerror(EACCES))),
                  std::wstring::npos);
    }
    ::chmod(locked.c_str(), 0700);
}

// A FIFO would block the open for ever and a device would take the movie: both are refused by name.
TEST(VideoWriter, AMovieGoesOnlyToARegularFile)
{
    TemporaryFolder folder;
    ASSERT_EQ(::mkfifo((folder / "fifo.avi").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/null", folder / "null.mp4");
    for (const char* name : {"fifo.avi", "null.mp4"})
    {
        for (const auto format : {VideoWriter::Avi, VideoWriter::Wmv2, VideoWriter::H264})
        {
            VideoWriter writer;
            const auto path = folder / name;
            Exception failed = Raised([&] { writer.Open(format, path.wstring(), 16, 16, 30, 1000000); });
            EXPECT_NE(failed.GetMessage().find(path.wstring()), std::wstring::npos) << name << " " << format;
            EXPECT_FALSE(writer.IsOpen());
        }
    }
    EXPECT_TRUE(std::filesystem::is_fifo(folder / "fifo.avi"));
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "null.mp4"));
}

// Frames come from a capture thread while the user-interface thread opens and closes files: each
// file ends up whole, its header counting exactly the frames it holds.
TEST(VideoWriter, FramesFromAnotherThreadMeetOpenAndCloseSafely)
{
    TemporaryFolder folder;
    VideoWriter writer;
    std::atomic<bool> stop = false;
    std::atomic<int> added = 0;
    std::thread capture(
        [&]
        {
            const Frame frame = MakePattern(32, 24, 1);
            while (!stop)
            {
                writer.AddFrame(frame);
                ++added;
            }
        });
    std::vector<std::filesystem::path> files;
    for (int i = 0; i < 4; ++i)
    {
        files.push_back(folder / ("run" + std::to_string(i) + (i % 2 ? ".mp4" : ".avi")));
        writer.Open(i % 2 ? VideoWriter::H264 : VideoWriter::Avi, files.back().wstring(), 32, 24, 30, 300000);
        // Two more frames: the second surely began after the Open.
        const int before = added;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (added < before + 2 && std::chrono::steady_clock::now() < deadline)
        {
            std::this_thread::yield();
        }
        writer.Close();
    }
    stop = true;
    capture.join();
    for (const auto& file : files)
    {
        const std::string frames = ProbeStream(file, "nb_read_frames", true);
        EXPECT_GT(std::stoi(frames), 0) << file;
        if (file.extension() == ".avi")
        {
            EXPECT_EQ(ProbeStream(file, "nb_frames"), frames) << file;
        }
    }
}

// Frames come far faster than the encoder takes them (a loop of ready frames against our own WMV3
// encoder, built with the same instrumentation as the copy, at a low nominal rate so the queue
// holds few): AddFrame waits instead of dropping, the queue never holds more
// than its bound, and Close returns with every frame in the file, in order.
TEST(VideoWriter, AnEncoderSlowerThanTheFramesThrottlesAndLosesNoFrame)
{
    TemporaryFolder folder;
    const auto path = folder / "throttled.wmv";
    constexpr int Frames = 24;
    std::vector<Frame> frames;
    for (int n = 0; n < Frames; ++n)
    {
        frames.push_back(MakePattern(640, 480, n));
    }
    VideoWriter writer;
    writer.Open(VideoWriter::Wmv3, path.wstring(), 640, 480, 4, 8000000);
    ASSERT_EQ(writer.GetQueueCapacity(), 4u);
    for (const Frame& frame : frames)
    {
        writer.AddFrame(frame);
    }
    EXPECT_EQ(writer.GetPeakQueuedFrames(), 4u);
    writer.Close();
    const auto decoded = DecodeFrames(path, 640, 480);
    ASSERT_EQ(decoded.size(), std::size_t(Frames));
    for (int n = 0; n < Frames; ++n)
    {
        ASSERT_GE(Psnr(frames[n], decoded[n]), 20) << "frame " << n;
    }

    // About one second of frames, but never more than 256 MB of them.
    using Queue = VistelCapture::FrameQueue<Frame>;
    EXPECT_EQ(Queue::CapacityFor(1920, 1080, 29.97), 30u);
    EXPECT_EQ(Queue::CapacityFor(3840, 2160, 30), 8u);
    EXPECT_EQ(Queue::CapacityFor(7680, 4320, 60), 2u);
    EXPECT_EQ(Queue::CapacityFor(20000, 20000, 30), 1u);
}

// A disk that fills up, modelled by the file-size limit, fails a frame on the writer's thread:
// Close reports it when no AddFrame came after, else the next AddFrame does; the frames written
// before stay in a readable file.
TEST(VideoWriter, AFailureOnTheWritersThreadSurfacesAtTheNextAddFrameOrAtClose)
{
    TemporaryFolder folder;
    const auto path = folder / "full.avi";
    // Room for the headers (48 kB) and one 160 x 120 frame (57.6 kB), not for two.
    FileSizeLimit limit(140000);
    VideoWriter writer;

    writer.Open(VideoWriter::Avi, path.wstring(), 160, 120, 30, 0);
    writer.AddFrame(MakePattern(160, 120, 0));
    writer.AddFrame(MakePattern(160, 120, 1));
    Exception failed = Raised([&] { writer.Close(); });
    EXPECT_EQ(failed.GetErrorCode(), HRESULT_FROM_WIN32(EFBIG));
    EXPECT_EQ(failed.GetFunctionName(), L"AddFrame");
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_EQ(ProbeStream(path, "nb_read_frames", true), "1");

    writer.Open(VideoWriter::Avi, path.wstring(), 160, 120, 30, 0);
    writer.AddFrame(MakePattern(160, 120, 0));
    writer.AddFrame(MakePattern(160, 120, 1));
    bool reported = false;
    for (int n = 0; n < 100000 && !reported; ++n)
    {
        try
        {
            writer.AddFrame(MakePattern(160, 120, 2));
        }
        catch (const Exception& exception)
        {
            EXPECT_EQ(exception.GetErrorCode(), HRESULT_FROM_WIN32(EFBIG));
            EXPECT_EQ(exception.GetFunctionName(), L"AddFrame");
            reported = true;
        }
    }
    EXPECT_TRUE(reported);
    EXPECT_TRUE(writer.IsOpen());
    // Reported once: closing the file is the last failure left, if any.
    try
    {
        writer.Close();
    }
    catch (const Exception&)
    {
    }
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_EQ(ProbeStream(path, "nb_read_frames", true), "1");
}
