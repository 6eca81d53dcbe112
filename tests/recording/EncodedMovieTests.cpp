#include "MovieReader.h"

#include <FileText.h>
#include <TemporaryFolder.h>
#include <VideoWriter.h>

#include <Norvex/Core/Exception.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <vector>

#include <sys/resource.h>

using namespace Norvex::Testing;
using VistelCapture::VideoWriter;
using namespace std::chrono_literals;

namespace
{

// A clock that the test moves by hand, so sample times are exact.
struct ManualClock
{
    std::chrono::steady_clock::time_point now{std::chrono::seconds(1000)};
    VideoWriter::Clock Get()
    {
        return [this]
        {
            return now;
        };
    }
};

struct Encoded
{
    VideoWriter::Format format;
    const char* extension;
    const char* codecName;
    double minimumPsnr; // at 320 x 240 and 2 Mbit/s
};

class EncodedMovie : public testing::TestWithParam<Encoded>
{
};

} // namespace

TEST_P(EncodedMovie, ReadsBackWithCodecSizeFrameCountRateAndQuality)
{
    const Encoded& encoded = GetParam();
    TemporaryFolder folder;
    const auto path = folder / (std::string("movie.") + encoded.extension);
    ManualClock clock;
    std::vector<Frame> frames;
    {
        VideoWriter writer(clock.Get());
        writer.Open(encoded.format, path.wstring(), 320, 240, 30, 2000000);
        for (int n = 0; n < 30; ++n)
        {
            frames.push_back(MakePattern(320, 240, n));
            writer.AddFrame(frames.back());
            clock.now += std::chrono::nanoseconds(33333333);
        }
        writer.Close();
    }
    EXPECT_EQ(ProbeStream(path, "codec_name"), encoded.codecName);
    EXPECT_EQ(ProbeStream(path, "width,height"), "320\n240");
    EXPECT_EQ(ProbeStream(path, "nb_read_frames", true), "30");
    EXPECT_EQ(ProbeStream(path, "r_frame_rate"), "30/1");
    if (encoded.format == VideoWriter::H264)
    {
        EXPECT_EQ(ProbeStream(path, "profile"), "Main");
        EXPECT_EQ(ProbeStream(path, "time_base"), "1/10000000");
        EXPECT_EQ(ProbeStream(path, "sample_aspect_ratio"), "1:1");
    }
    const auto decoded = DecodeFrames(path, 320, 240);
    ASSERT_EQ(decoded.size(), frames.size());
    // A second, unrelated decoder shows every frame too.
    const std::string shown = RunCommand("gst-launch-1.0 filesrc location=" + Quote(path) +
                                         " ! decodebin ! video/x-raw ! fakesink silent=false -v 2>&1"
                                         " | grep -c 'last-message = chain'");
    EXPECT_EQ(std::stoul(shown), frames.size());
    double worst = 99;
    for (std::size_t i = 0; i < frames.size(); ++i)
    {
        worst = std::min(worst, Psnr(frames[i], decoded[i]));
    }
    EXPECT_GE(worst, encoded.minimumPsnr);
}

TEST_P(EncodedMovie, SampleTimesAreTheArrivalTimesFromZero)
{
    const Encoded& encoded = GetParam();
    TemporaryFolder folder;
    const auto path = folder / (std::string("times.") + encoded.extension);
    ManualClock clock;
    {
        VideoWriter writer(clock.Get());
        writer.Open(encoded.format, path.wstring(), 64, 48, 29.97, 500000);
        for (const auto gap : {0ms, 500ms, 100ms, 33ms})
        {
            clock.now += gap;
            writer.AddFrame(MakePattern(64, 48, 0));
        }
        writer.Close();
    }
    const auto times = ProbeSampleTimes(path);
    const std::vector<std::string> expected = {"0.000000", "0.500000", "0.600000", "0.633000"};
    EXPECT_EQ(times, expected);
    if (encoded.format != VideoWriter::H264)
    {
        // However the frames came, the ASF header states the nominal rate (its time per frame in
        // 100 ns units), which players take as the stream's rate.
        const std::string caps = RunCommand("gst-launch-1.0 -v filesrc location=" + Quote(path) +
                                            " ! asfdemux ! fakesink num-buffers=1 2>&1"
                                            " | grep -o 'framerate=(fraction)[0-9/]*' | head -1");
        EXPECT_EQ(caps, "framerate=(fraction)10000000/333667\n");
    }
    if (encoded.format == VideoWriter::H264)
    {
        // MP4 keeps the 100 ns units themselves (ASF rounds them to milliseconds).
        const std::string pts = RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts "
                                           "-of csv=p=0 " +
                                           Quote(path));
        EXPECT_EQ(pts, "0\n5000000\n6000000\n6330000\n");
    }
}

TEST_P(EncodedMovie, FramesOfAnotherSizeAreCroppedOrPaddedWithBlack)
{
    const Encoded& encoded = GetParam();
    TemporaryFolder folder;
    const auto path = folder / (std::string("sizes.") + encoded.extension);
    const Frame larger = MakePattern(400, 300, 4);
    const Frame smaller = MakePattern(160, 120, 4);
    {
        VideoWriter writer;
        writer.Open(encoded.format, path.wstring(), 320, 240, 30, 4000000);
        writer.AddFrame(larger);
        writer.AddFrame(smaller);
        writer.Close();
    }
    const auto decoded = DecodeFrames(path, 320, 240);
    ASSERT_EQ(decoded.size(), 2u);
    Frame cropped(320, 240), padded(320, 240);
    for (std::int32_t y = 0; y < 240; ++y)
    {
        for (std::int32_t x = 0; x < 320; ++x)
        {
            cropped.At(x, y) = larger.At(x, y);
            if (x < 160 && y < 120)
            {
                padded.At(x, y) = smaller.At(x, y);
            }
        }
    }
    EXPECT_GE(Psnr(cropped, decoded[0]), encoded.minimumPsnr);
    EXPECT_GE(Psnr(padded, decoded[1]), encoded.minimumPsnr);
}

INSTANTIATE_TEST_SUITE_P(Formats, EncodedMovie,
                         testing::Values(Encoded{VideoWriter::Wmv1, "wmv", "wmv1", 28},
                                         Encoded{VideoWriter::Wmv2, "wmv", "wmv2", 28},
                                         Encoded{VideoWriter::Wmv3, "wmv", "wmv3", 28},
                                         Encoded{VideoWriter::H264, "mp4", "h264", 32}),
                         [](const testing::TestParamInfo<Encoded>& info)
                         { return std::string(info.param.codecName); });

// A file cut short (a crash before Close) still plays up to its last complete piece: the MP4's
// last whole fragment (under half a second), the ASF's last whole data packet.
TEST(EncodedMovie, AFileCutShortStillPlaysWhatItHolds)
{
    for (const Encoded& encoded :
         {Encoded{VideoWriter::H264, "mp4", "h264", 32}, Encoded{VideoWriter::Wmv2, "wmv", "wmv2", 28},
          Encoded{VideoWriter::Wmv3, "wmv", "wmv3", 28}})
    {
        TemporaryFolder folder;
        const auto path = folder / (std::string("whole.") + encoded.extension);
        ManualClock clock;
        std::vector<Frame> frames;
        {
            VideoWriter writer(clock.Get());
            writer.Open(encoded.format, path.wstring(), 160, 120, 30, 1000000);
            for (int n = 0; n < 120; ++n) // four seconds
            {
                frames.push_back(MakePattern(160, 120, n));
                writer.AddFrame(frames.back());
                clock.now += std::chrono::nanoseconds(33333333);
            }
            writer.Close();
        }
        const std::string bytes = ReadFileText(path);
        for (const double part : {0.55, 0.8, 0.97})
        {
            const auto cut = folder / (std::string("cut.") + encoded.extension);
            WriteFileText(cut, bytes.substr(0, static_cast<std::size_t>(bytes.size() * part)));
            const auto decoded = DecodeFrames(cut, 160, 120);
            EXPECT_GE(decoded.size(), static_cast<std::size_t>(120 * part) - 31)
                << encoded.codecName << " " << part;
            // The decoder may show the torn last frame as well, patched up as best it can.
            for (std::size_t i = 0; i + 1 < decoded.size(); ++i)
            {
                ASSERT_GE(Psnr(frames[i], decoded[i]), encoded.minimumPsnr)
                    << encoded.codecName << " frame " << i << " at cut " << part;
            }
        }
    }
}

// The file as it stands once the queued frames are written is what a kill leaves: an MP4 killed at
// any time plays all but the last half second of them.
TEST(EncodedMovie, AKilledMp4LosesAtMostHalfASecond)
{
    TemporaryFolder folder;
    const auto path = folder / "live.mp4";
    ManualClock clock;
    VideoWriter writer(clock.Get());
    writer.Open(VideoWriter::H264, path.wstring(), 160, 120, 30, 1000000);
    int added = 0;
    for (const int killedAt : {16, 20, 45, 61, 100})
    {
        for (; added < killedAt; ++added)
        {
            writer.AddFrame(MakePattern(160, 120, added));
            clock.now += std::chrono::nanoseconds(33333333);
        }
        writer.WaitUntilWritten();
        const auto killed = folder / ("killed" + std::to_string(killedAt) + ".mp4");
        std::filesystem::copy_file(path, killed);
        const auto decoded = DecodeFrames(killed, 160, 120);
        EXPECT_GE(static_cast<int>(decoded.size()), killedAt - 15) << "killed after " << killedAt;
        for (std::size_t i = 0; i < decoded.size(); ++i)
        {
            ASSERT_GE(Psnr(MakePattern(160, 120, static_cast<int>(i)), decoded[i]), 30) << "frame " << i;
        }
    }
    writer.Close();
}

// A still picture codes to P frames of a few bytes, which libavformat's ASF muxer kept in its open
// data packet until a key frame filled it: a kill lost up to a dozen frames, 0.4 s. The file as it
// stands once the queued frames are written must now hold every one of them, for both readers.
TEST(EncodedMovie, AKilledWmvHoldsEveryFrameWritten)
{
    for (const VideoWriter::Format format : {VideoWriter::Wmv1, VideoWriter::Wmv2, VideoWriter::Wmv3})
    {
        TemporaryFolder folder;
        const auto path = folder / "live.wmv";
        ManualClock clock;
        VideoWriter writer(clock.Get());
        writer.Open(format, path.wstring(), 160, 120, 30, 1000000);
        const Frame still = MakePattern(160, 120, 7);
        int added = 0;
        for (const int killedAt : {1, 5, 23, 40})
        {
            for (; added < killedAt; ++added)
            {
                writer.AddFrame(still);
                clock.now += std::chrono::nanoseconds(33333333);
            }
            writer.WaitUntilWritten();
            const auto killed = folder / ("killed" + std::to_string(killedAt) + ".wmv");
            std::filesystem::copy_file(path, killed);
            const auto decoded = DecodeFrames(killed, 160, 120);
            ASSERT_EQ(static_cast<int>(decoded.size()), killedAt) << "format " << format;
            EXPECT_GE(Psnr(still, decoded.back()), 28) << "format " << format << " killed at " << killedAt;
            const std::string shown = RunCommand("gst-launch-1.0 filesrc location=" + Quote(killed) +
                                                 " ! asfdemux ! fakesink silent=false -v 2>&1"
                                                 " | grep -c 'last-message = chain'");
            EXPECT_EQ(std::stoi(shown), killedAt) << "format " << format;
        }
        writer.Close();
        EXPECT_EQ(DecodeFrames(path, 160, 120).size(), 40u) << "format " << format;
    }
}

// A full disk, modelled by the file-size limit: AddFrame (or Close, for the last fragment) fails
// with the system's error, and the fragments written before stay playable.
TEST(EncodedMovie, AFullDiskFailsClearlyAndKeepsTheEarlierFragments)
{
    TemporaryFolder folder;
    const auto path = folder / "full.mp4";
    auto limit = std::make_unique<FileSizeLimit>(1200000); // about two seconds of fragments

    ManualClock clock;
    int added = 0;
    bool failed = false;
    // What each frame was told: whether it is in the file (the time-stamp file's lines follow it).
    std::vector<int> told;
    int handedOn = 0;
    {
        VideoWriter writer(clock.Get());
        writer.Open(VideoWriter::H264, path.wstring(), 320, 240, 30, 4000000);
        for (; added < 600 && !failed; ++added)
        {
            try
            {
                writer.AddFrame(MakePattern(320, 240, added * 5),
                                [&told](bool inFile) { told.push_back(inFile); });
                ++handedOn;
            }
            catch (const Norvex::Core::Exception& exception)
            {
                EXPECT_EQ(exception.GetErrorCode(), Norvex::Core::HRESULT_FROM_WIN32(EFBIG));
                EXPECT_EQ(exception.GetFunctionName(), L"AddFrame");
                failed = true;
            }
            clock.now += std::chrono::nanoseconds(33333333);
        }
        EXPECT_THROW(writer.Close(), Norvex::Core::Exception);
        EXPECT_FALSE(writer.IsOpen());
    }
    limit.reset();
    ASSERT_TRUE(failed);

    const auto decoded = DecodeFrames(path, 320, 240);
    EXPECT_GE(decoded.size(), 30u) << "of " << added;
    EXPECT_LT(decoded.size(), std::size_t(added));
    // Every frame handed on hears once, those in the file first (the fragment cut short gives a
    // reader its whole samples too), then the lost ones.
    ASSERT_EQ(told.size(), std::size_t(handedOn));
    EXPECT_EQ(std::count(told.begin(), told.end(), 1), static_cast<long>(decoded.size()));
    EXPECT_TRUE(std::is_sorted(told.rbegin(), told.rend()));
    for (std::size_t i = 0; i < decoded.size(); ++i)
    {
        ASSERT_GE(Psnr(MakePattern(320, 240, static_cast<int>(i) * 5), decoded[i]), 30) << "frame " << i;
    }
}

// WMV3 key frames cost many times a P picture; the file as a whole still holds the bit rate asked
// for.
TEST(EncodedMovie, AWmv3FileHoldsTheBitRateAskedFor)
{
    TemporaryFolder folder;
    for (const std::uint32_t bitRate : {600000u, 1500000u, 3000000u})
    {
        const auto path = folder / ("rate" + std::to_string(bitRate) + ".wmv");
        ManualClock clock;
        constexpr int Seconds = 3;
        {
            VideoWriter writer(clock.Get());
            writer.Open(VideoWriter::Wmv3, path.wstring(), 320, 240, 30, bitRate);
            for (int n = 0; n < 30 * Seconds; ++n)
            {
                writer.AddFrame(MakePattern(320, 240, n));
                clock.now += std::chrono::nanoseconds(33333333);
            }
            writer.Close();
        }
        const double rate = std::filesystem::file_size(path) * 8.0 / Seconds;
        EXPECT_NEAR(rate / bitRate, 1.0, 0.2) << bitRate << " bit/s asked, " << rate << " in the file";
    }
}
