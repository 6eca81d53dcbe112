#include "MovieReader.h"

#include <AviFileWriter.h>
#include <FileText.h>
#include <TemporaryFolder.h>
#include <VideoWriter.h>

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <random>
#include <thread>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Norvex::Testing;
using Norvex::Core::Exception;
using Norvex::Core::HRESULT_FROM_WIN32;
using VistelCapture::VideoWriter;

namespace
{

struct Chunk
{
    std::string id; // "RIFF:AVI ", "LIST:movi" or a chunk's four-character code
    std::size_t data;
    std::uint32_t size;
};

std::uint32_t U32(const std::string& bytes, std::size_t offset)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
    {
        value = value << 8 | static_cast<unsigned char>(bytes.at(offset + i));
    }
    return value;
}

std::uint16_t U16(const std::string& bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(U32(bytes.substr(offset, 2) + std::string(2, '\0'), 0));
}

std::uint64_t U64(const std::string& bytes, std::size_t offset)
{
    return U32(bytes, offset) | std::uint64_t(U32(bytes, offset + 4)) << 32;
}

void Walk(const std::string& bytes, std::size_t begin, std::size_t end, std::vector<Chunk>& chunks)
{
    while (begin + 8 <= end)
    {
        const std::string id = bytes.substr(begin, 4);
        const std::uint32_t size = U32(bytes, begin + 4);
        if (id == "RIFF" || id == "LIST")
        {
            chunks.push_back({id + ":" + bytes.substr(begin + 8, 4), begin + 12, size});
            Walk(bytes, begin + 12, std::min<std::size_t>(end, begin + 8 + size), chunks);
        }
        else
        {
            chunks.push_back({id, begin + 8, size});
        }
        begin += 8 + size + (size & 1);
    }
}

std::vector<Chunk> Parse(const std::string& bytes)
{
    std::vector<Chunk> chunks;
    Walk(bytes, 0, bytes.size(), chunks);
    return chunks;
}

const Chunk& Find(const std::vector<Chunk>& chunks, const std::string& id)
{
    for (const auto& chunk : chunks)
    {
        if (chunk.id == id)
        {
            return chunk;
        }
    }
    throw std::runtime_error("no chunk " + id);
}

void WriteAvi(const std::filesystem::path& path, std::int32_t width, std::int32_t height, double rate,
              const std::vector<Frame>& frames)
{
    VideoWriter writer;
    writer.Open(VideoWriter::Avi, path.wstring(), width, height, rate, 0);
    for (const auto& frame : frames)
    {
        writer.AddFrame(frame);
    }
    writer.Close();
}

void ExpectSameColours(const Frame& expected, const Frame& actual)
{
    ASSERT_EQ(expected.width, actual.width);
    ASSERT_EQ(expected.height, actual.height);
    for (std::int32_t y = 0; y < expected.height; ++y)
    {
        for (std::int32_t x = 0; x < expected.width; ++x)
        {
            const auto& a = expected.At(x, y);
            const auto& b = actual.At(x, y);
            if (a.blue != b.blue || a.green != b.green || a.red != b.red)
            {
                FAIL() << "pixel " << x << "," << y << " differs";
            }
        }
    }
}

} // namespace

TEST(AviFile, HeadersCarryTheStreamLayoutFieldByField)
{
    TemporaryFolder folder;
    const auto path = folder / "odd.avi";
    WriteAvi(path, 641, 480, 29.97,
             {MakePattern(641, 480, 0), MakePattern(641, 480, 1), MakePattern(641, 480, 2)});
    const std::string bytes = ReadFileText(path);
    const auto chunks = Parse(bytes);

    const Chunk& riff = chunks.front();
    EXPECT_EQ(riff.id, "RIFF:AVI ");
    EXPECT_EQ(riff.size + 8, bytes.size());

    const std::size_t avih = Find(chunks, "avih").data;
    EXPECT_EQ(Find(chunks, "avih").size, 56u);
    EXPECT_EQ(U32(bytes, avih + 0), 33367u); // microseconds per frame
    EXPECT_EQ(U32(bytes, avih + 12) & 0x10, 0x10u) << "AVIF_HASINDEX";
    EXPECT_EQ(U32(bytes, avih + 16), 3u); // frames
    EXPECT_EQ(U32(bytes, avih + 24), 1u); // streams
    EXPECT_EQ(U32(bytes, avih + 28), 923520u);
    EXPECT_EQ(U32(bytes, avih + 32), 641u);
    EXPECT_EQ(U32(bytes, avih + 36), 480u);

    const std::size_t strh = Find(chunks, "strh").data;
    EXPECT_EQ(Find(chunks, "strh").size, 56u);
    EXPECT_EQ(bytes.substr(strh, 4), "vids");
    EXPECT_EQ(bytes.substr(strh + 4, 4), "DIB ");
    EXPECT_EQ(U32(bytes, strh + 8), 0u);  // dwFlags
    EXPECT_EQ(U16(bytes, strh + 12), 0u); // wPriority
    EXPECT_EQ(U16(bytes, strh + 14), 0u); // wLanguage
    EXPECT_EQ(U32(bytes, strh + 16), 0u); // dwInitialFrames
    EXPECT_EQ(U32(bytes, strh + 20), 1000u);
    EXPECT_EQ(U32(bytes, strh + 24), 29970u);
    EXPECT_EQ(U32(bytes, strh + 28), 0u); // dwStart
    EXPECT_EQ(U32(bytes, strh + 32), 3u); // dwLength
    EXPECT_EQ(U32(bytes, strh + 36), 923520u);
    EXPECT_EQ(U32(bytes, strh + 40), 0xFFFFFFFFu);
    EXPECT_EQ(U32(bytes, strh + 44), 923520u);
    EXPECT_EQ(U16(bytes, strh + 48), 0u);
    EXPECT_EQ(U16(bytes, strh + 50), 0u);
    EXPECT_EQ(U16(bytes, strh + 52), 641u);
    EXPECT_EQ(U16(bytes, strh + 54), 480u);

    const std::size_t strf = Find(chunks, "strf").data;
    EXPECT_EQ(Find(chunks, "strf").size, 40u);
    const std::uint32_t bitmap[] = {40, 641, 480, 1 | 24 << 16, 0, 923520, 1, 1, 0, 0};
    for (std::size_t i = 0; i < std::size(bitmap); ++i)
    {
        EXPECT_EQ(U32(bytes, strf + 4 * i), bitmap[i]) << "BITMAPINFOHEADER field " << i;
    }
    EXPECT_EQ(std::string(bytes.c_str() + Find(chunks, "strn").data), "Video stream");

    // Three key frames of 1924-byte rows, in idx1 and in the OpenDML indexes alike.
    const Chunk& idx1 = Find(chunks, "idx1");
    ASSERT_EQ(idx1.size, 3 * 16u);
    const std::size_t movi = Find(chunks, "LIST:movi").data - 4;
    for (std::size_t i = 0; i < 3; ++i)
    {
        const std::size_t entry = idx1.data + 16 * i;
        EXPECT_EQ(bytes.substr(entry, 4), "00db");
        EXPECT_EQ(U32(bytes, entry + 4), 0x10u);
        EXPECT_EQ(bytes.substr(movi + U32(bytes, entry + 8), 4), "00db");
        EXPECT_EQ(U32(bytes, entry + 12), 923520u);
    }
    const std::size_t indx = Find(chunks, "indx").data;
    EXPECT_EQ(U32(bytes, indx + 4), 1u); // parts
    const std::size_t ix00 = static_cast<std::size_t>(U64(bytes, indx + 24));
    EXPECT_EQ(bytes.substr(ix00, 4), "ix00");
    EXPECT_EQ(U32(bytes, indx + 36), 3u);
    EXPECT_EQ(U32(bytes, ix00 + 8 + 4), 3u);
    EXPECT_EQ(U32(bytes, Find(chunks, "dmlh").data), 3u);

    EXPECT_EQ(ProbeStream(path, "codec_name"), "rawvideo");
    EXPECT_EQ(ProbeStream(path, "width,height"), "641\n480");
    EXPECT_EQ(ProbeStream(path, "r_frame_rate"), "2997/100");
    EXPECT_EQ(ProbeStream(path, "nb_read_frames", true), "3");
}

TEST(AviFile, PixelsRoundTripExactly)
{
    TemporaryFolder folder;
    const auto path = folder / "exact.avi";
    std::vector<Frame> frames;
    for (int n = 0; n < 4; ++n)
    {
        frames.push_back(MakePattern(641, 37, n * 7));
    }
    WriteAvi(path, 641, 37, 30, frames);
    const auto decoded = DecodeFrames(path, 641, 37);
    ASSERT_EQ(decoded.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
    {
        ExpectSameColours(frames[i], decoded[i]);
    }
}

TEST(AviFile, FramesOfAnotherSizeAreCroppedOrPaddedWithBlack)
{
    TemporaryFolder folder;
    const auto path = folder / "sizes.avi";
    const Frame larger = MakePattern(90, 70, 3);
    const Frame smaller = MakePattern(30, 20, 5);
    Frame borrowed; // a view into a wider buffer: stride larger than the row
    borrowed.data = const_cast<Norvex::Core::Pixel<unsigned char>*>(larger.data);
    borrowed.width = 10;
    borrowed.height = 70;
    borrowed.stride = larger.stride;
    WriteAvi(path, 64, 48, 25, {larger, smaller, Frame(), borrowed});

    const auto decoded = DecodeFrames(path, 64, 48);
    ASSERT_EQ(decoded.size(), 4u);
    Frame expected(64, 48);
    for (std::int32_t y = 0; y < 48; ++y)
    {
        for (std::int32_t x = 0; x < 64; ++x)
        {
            expected.At(x, y) = larger.At(x, y);
        }
    }
    ExpectSameColours(expected, decoded[0]);
    const Frame black(64, 48);
    Frame padded = black;
    for (std::int32_t y = 0; y < 20; ++y)
    {
        for (std::int32_t x = 0; x < 30; ++x)
        {
            padded.At(x, y) = smaller.At(x, y);
        }
    }
    ExpectSameColours(padded, decoded[1]);
    ExpectSameColours(black, decoded[2]);
    Frame strip = black;
    for (std::int32_t y = 0; y < 48; ++y)
    {
        for (std::int32_t x = 0; x < 10; ++x)
        {
            strip.At(x, y) = larger.At(x, y);
        }
    }
    ExpectSameColours(strip, decoded[3]);
}

// 1080p frames past 1 GiB: the file goes on in an AVIX part and is read back whole, in order.
TEST(AviFile, PastOneGibibyteTheFileContinuesAsOpenDml)
{
    TemporaryFolder folder;
    const auto path = folder / "long.avi";
    constexpr std::int32_t width = 1920, height = 1080;
    const std::uint64_t frameBytes = std::uint64_t(width * 3) * height;
    const int frameCount = static_cast<int>((std::uint64_t(11) << 30) / 10 / frameBytes) + 1; // ~1.1 GiB
    {
        VideoWriter writer;
        writer.Open(VideoWriter::Avi, path.wstring(), width, height, 30, 0);
        Frame frame(width, height);
        for (int n = 0; n < frameCount; ++n)
        {
            const Norvex::Core::Pixel<unsigned char> colour{static_cast<unsigned char>(n),
                                                            static_cast<unsigned char>(255 - n),
                                                            static_cast<unsigned char>(n * 3), 255};
            std::fill(frame.buffer.begin(), frame.buffer.end(), colour);
            writer.AddFrame(frame);
        }
        writer.Close();
    }
    ASSERT_GT(std::filesystem::file_size(path), std::uint64_t(1) << 30);

    // The structure: a first part below 1 GiB with idx1, one AVIX part, both in the super index.
    const std::string head = ReadFileText(path).substr(0, 1 << 20);
    const auto chunks = Parse(head);
    const std::size_t indx = Find(chunks, "indx").data;
    EXPECT_EQ(U32(head, indx + 4), 2u);
    EXPECT_EQ(U32(head, indx + 36) + U32(head, indx + 16 + 36), std::uint32_t(frameCount));
    EXPECT_LE(U32(head, 4) + 8u, std::uint32_t(1) << 30);
    EXPECT_EQ(U32(head, Find(chunks, "strh").data + 32), std::uint32_t(frameCount));
    EXPECT_EQ(U32(head, Find(chunks, "dmlh").data), std::uint32_t(frameCount));

    // The top-left 2 x 2 pixels of each frame keep its one colour exactly.
    const std::string colours =
        RunCommand("ffmpeg -v error -i " + Quote(path) +
                   " -vf crop=2:2:0:0 -f rawvideo -pix_fmt bgr24 -vsync passthrough -");
    ASSERT_EQ(colours.size(), std::size_t(frameCount) * 12);
    for (int n = 0; n < frameCount; ++n)
    {
        const unsigned char* pixel = reinterpret_cast<const unsigned char*>(colours.data()) + 12 * n;
        ASSERT_EQ(pixel[0], static_cast<unsigned char>(n)) << "frame " << n;
        ASSERT_EQ(pixel[1], static_cast<unsigned char>(255 - n)) << "frame " << n;
        ASSERT_EQ(pixel[2], static_cast<unsigned char>(n * 3)) << "frame " << n;
    }
    EXPECT_EQ(ProbeStream(path, "nb_frames"), std::to_string(frameCount));
}

// A crash leaves the file as it was after some write: cutting a finished file at random points
// models that. Every frame complete before the cut must still be decoded.
TEST(AviFile, AFileCutAtAnyPointStillYieldsItsCompleteFrames)
{
    TemporaryFolder folder;
    const auto path = folder / "whole.avi";
    std::vector<Frame> frames;
    for (int n = 0; n < 12; ++n)
    {
        frames.push_back(MakePattern(48, 32, n * 11));
    }
    WriteAvi(path, 48, 32, 30, frames);
    const std::string bytes = ReadFileText(path);
    const auto chunks = Parse(bytes);
    std::vector<std::size_t> frameEnds;
    for (const auto& chunk : chunks)
    {
        if (chunk.id == "00db")
        {
            frameEnds.push_back(chunk.data + chunk.size);
        }
    }
    ASSERT_EQ(frameEnds.size(), frames.size());

    std::mt19937 random(20261207);
    std::uniform_int_distribution<std::size_t> cuts(frameEnds.front() - 100, bytes.size() - 1);
    for (int attempt = 0; attempt < 6; ++attempt)
    {
        const std::size_t cut = attempt == 0 ? frameEnds[5] : cuts(random); // also right after a frame
        const auto cutPath = folder / ("cut" + std::to_string(attempt) + ".avi");
        WriteFileText(cutPath, bytes.substr(0, cut));
        const std::size_t complete = static_cast<std::size_t>(
            std::count_if(frameEnds.begin(), frameEnds.end(), [&](std::size_t end) { return end <= cut; }));
        const auto decoded = DecodeFrames(cutPath, 48, 32);
        ASSERT_EQ(decoded.size(), complete) << "cut at " << cut << " of " << bytes.size();
        for (std::size_t i = 0; i < complete; ++i)
        {
            ExpectSameColours(frames[i], decoded[i]);
        }
    }
}

// The writing process killed without warning: what was written is a playable AVI.
TEST(AviFile, AKilledRecorderLeavesAPlayableFile)
{
    TemporaryFolder folder;
    const auto path = folder / "killed.avi";
    constexpr int reported = 8;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        // The recorder: never returns into the test runner, and stops by itself if not killed.
        ::close(ready[0]);
        try
        {
            VideoWriter writer;
            writer.Open(VideoWriter::Avi, path.wstring(), 40, 30, 30, 0);
            for (int n = 0; n < 5000; ++n)
            {
                writer.AddFrame(MakePattern(40, 30, n));
                if (n + 1 == reported)
                {
                    // What a kill can take besides is only what is still queued.
                    writer.WaitUntilWritten();
                    [[maybe_unused]] auto ignored = ::write(ready[1], "x", 1);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        catch (...)
        {
        }
        ::_exit(1);
    }
    ::close(ready[1]);
    char signal = 0;
    const auto reading = ::read(ready[0], &signal, 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(reading, 1) << "the recorder did not start";

    const auto decoded = DecodeFrames(path, 40, 30);
    ASSERT_GE(decoded.size(), std::size_t(reported));
    for (std::size_t i = 0; i < decoded.size(); ++i)
    {
        ExpectSameColours(MakePattern(40, 30, static_cast<int>(i)), decoded[i]);
    }
    EXPECT_EQ(ProbeStream(path, "nb_frames"), std::to_string(decoded.size()));
    // A second, unrelated reader finds the same frames.
    const std::string buffers =
        RunCommand("gst-launch-1.0 filesrc location=" + Quote(path) +
                   " ! avidemux ! fakesink silent=false -v 2>&1 | grep -c 'last-message = chain'");
    EXPECT_EQ(std::stoul(buffers), decoded.size());
}

// Past the first RIFF part GStreamer follows the super index and never scans: a recorder killed
// there must have kept the current part's index current. Parts of 1 MiB instead of 1 GiB take
// the same path; the file as it stands after AddFrame is what a kill leaves behind.
TEST(AviFile, AKilledRecorderPastTheFirstPartLosesNoFrameToEitherReader)
{
    TemporaryFolder folder;
    const auto path = folder / "parts.avi";
    VistelCapture::AviFileWriter writer(std::uint64_t(1) << 20);
    writer.Open(path.string(), 160, 120, 30);
    std::vector<unsigned char> rows(writer.GetFrameSize());
    for (int n = 0; n < 75; ++n)
    {
        std::fill(rows.begin(), rows.end(), static_cast<unsigned char>(n));
        writer.AddFrame(rows.data());
        if (n + 1 != 40 && n + 1 != 75)
        {
            continue;
        }
        const auto killed = folder / ("killed" + std::to_string(n + 1) + ".avi");
        std::filesystem::copy_file(path, killed);
        const auto colours = RunCommand("ffmpeg -v error -i " + Quote(killed) +
                                        " -vf crop=1:1:0:0 -f rawvideo -pix_fmt bgr24 -vsync passthrough -");
        ASSERT_EQ(colours.size(), std::size_t(n + 1) * 3) << "FFmpeg";
        for (int i = 0; i <= n; ++i)
        {
            ASSERT_EQ(static_cast<unsigned char>(colours[3 * std::size_t(i)]), i) << "frame " << i;
        }
        const std::string buffers =
            RunCommand("gst-launch-1.0 filesrc location=" + Quote(killed) +
                       " ! avidemux ! fakesink silent=false -v 2>&1 | grep -c 'last-message = chain'");
        EXPECT_EQ(std::stoi(buffers), n + 1) << "GStreamer";
    }
    writer.Close();
    const std::string bytes = ReadFileText(path);
    const auto chunks = Parse(bytes);
    EXPECT_GE(std::count_if(chunks.begin(), chunks.end(), [](const Chunk& c) { return c.id == "RIFF:AVIX"; }),
              3);
    EXPECT_EQ(ProbeStream(path, "nb_read_frames", true), "75");
}

// A full disk, modelled by the file-size limit (the same short write and error, EFBIG for
// ENOSPC): the failure is reported clearly, the torn frame is cut away, the frames before it stay
// readable and, room permitting, Close still writes the index.
TEST(AviFile, AFullDiskFailsAddFrameAndKeepsTheEarlierFrames)
{
    TemporaryFolder folder;
    struct Case
    {
        std::int32_t width;
        std::int32_t height;
        std::size_t tornBytes; // of the sixth frame, written before the disk is full
        bool closeHasRoom;     // for the indexes of five frames (under 4 KiB)
    };
    // The 1024 x 512 frame goes out in two write(2) calls; the disk fills up in the second.
    for (const Case& test :
         {Case{40, 30, 902, true}, Case{40, 30, 4, false}, Case{1024, 512, std::size_t(9) << 17, true}})
    {
        const std::size_t frameBytes = 8 + std::size_t(test.width) * 3 * std::size_t(test.height);
        const auto name = std::to_string(test.width) + "-" + std::to_string(test.tornBytes);
        std::size_t header = 0;
        {
            const auto probe = folder / ("probe" + name + ".avi");
            VideoWriter writer;
            writer.Open(VideoWriter::Avi, probe.wstring(), test.width, test.height, 30, 0);
            writer.Close();
            header = std::filesystem::file_size(probe) - 8; // without the empty idx1
        }
        const auto path = folder / ("full" + name + ".avi");
        auto limit = std::make_unique<FileSizeLimit>(header + 5 * frameBytes + test.tornBytes);
        VideoWriter writer;
        writer.Open(VideoWriter::Avi, path.wstring(), test.width, test.height, 30, 0);
        for (int n = 0; n < 6; ++n)
        {
            writer.AddFrame(MakePattern(test.width, test.height, n));
        }
        // The sixth frame fails on the writer's thread; Close reports it once the file is finished.
        try
        {
            writer.Close();
            ADD_FAILURE() << "the frame past the limit was reported as written";
        }
        catch (const Exception& exception)
        {
            EXPECT_EQ(exception.GetErrorCode(), HRESULT_FROM_WIN32(EFBIG));
            EXPECT_EQ(exception.GetFunctionName(), L"AddFrame");
            EXPECT_FALSE(exception.GetMessage().empty());
        }
        // The torn frame is cut away; the indexes follow the fifth frame when they fit.
        const auto size = std::filesystem::file_size(path);
        if (test.closeHasRoom)
        {
            EXPECT_GT(size, header + 5 * frameBytes);
            EXPECT_LT(size, header + 5 * frameBytes + 4096);
        }
        else
        {
            EXPECT_EQ(size, header + 5 * frameBytes);
        }
        EXPECT_FALSE(writer.IsOpen());
        limit.reset();

        const auto decoded = DecodeFrames(path, test.width, test.height);
        ASSERT_EQ(decoded.size(), 5u) << name;
        for (int n = 0; n < 5; ++n)
        {
            ExpectSameColours(MakePattern(test.width, test.height, n), decoded[n]);
        }
    }
}
