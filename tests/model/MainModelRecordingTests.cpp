#include "FrameCount.h"
#include "ModelTestSupport.h"

#include "FakeV4l2Kernel.h"
#include "TimestampLines.h"

#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <tuple>

using namespace VistelTest;
using Norvex::Core::ToWideString;
using Norvex::Testing::CountFrames;
using VistelCapture::RecordingHealth;

namespace
{

// What ffprobe prints for the file's first video stream, one value a line.
std::string Probe(const std::filesystem::path& file, const std::string& entries)
{
    const std::string command = "ffprobe -v error -select_streams v:0 " + entries +
                                " -of default=nokey=1:noprint_wrappers=1 '" + file.string() + "'";
    std::unique_ptr<FILE, decltype(&::pclose)> pipe(::popen(command.c_str(), "r"), &::pclose);
    std::string output;
    char text[256];
    while (pipe && std::fgets(text, sizeof text, pipe.get()))
    {
        output += text;
    }
    return output;
}

struct MovieCase
{
    std::int32_t fileFormat;
    const char* name;
};

void PrintTo(const MovieCase& movieCase, std::ostream* stream)
{
    *stream << movieCase.name;
}

class MovieRecordingTest : public ModelTest, public ::testing::WithParamInterface<MovieCase>
{
};

} // namespace

TEST_P(MovieRecordingTest, EveryFrameAnnouncedWhileRecordingIsInTheFile)
{
    auto& model = MakeModel();
    model.SelectFrameFormat(1); // YUY2 320x240: quick to encode
    model.SetSetting(model.FileFormat, GetParam().fileFormat, MainModelProperty::FileFormat);
    model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget);
    const auto movie = folder / GetParam().name;
    Announcements listener;
    model.AddListener(&listener);
    listener.Take();

    model.StartRecording(ToWideString(movie.string()));
    model.StartCapture();
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, 12));
    model.StopCapture();
    QCoreApplication::processEvents(); // every frame announced before the stop
    const auto announced = listener.Count(MainModelProperty::Frame);
    model.StopRecording();
    EXPECT_EQ(static_cast<std::int64_t>(announced), model.GetRecordedFrameCount());
    EXPECT_EQ(CountFrames(movie), static_cast<long>(announced));
    // One time-stamp line per frame in the file, stamped by the camera's source, in order.
    const Norvex::Testing::TimestampLines csv(movie.string() + ".frames.csv");
    ASSERT_EQ(csv.lines.size(), announced);
    const auto times = csv.Column("capture_time_s");
    for (std::size_t i = 1; i < times.size(); ++i)
    {
        EXPECT_GT(std::stod(times[i]), std::stod(times[i - 1])) << "line " << i;
    }
    EXPECT_EQ(csv.Column("time_source").back(), "driver");
    EXPECT_TRUE(model.GetDebugMessage().empty()) << Norvex::Core::ToUtf8(model.GetDebugMessage());
    model.RemoveListener(&listener);
    if (GetParam().fileFormat == 7)
    {
        // Our own WMV3 encoder: the codec and size that players see, and the frames' arrival
        // times from zero, in order.
        EXPECT_EQ(Probe(movie, "-show_entries stream=codec_name,width,height"), "wmv3\n320\n240\n");
        const std::string times = Probe(movie, "-show_entries packet=pts_time");
        std::istringstream lines(times);
        std::vector<double> seconds;
        for (std::string line; std::getline(lines, line);)
        {
            seconds.push_back(std::stod(line));
        }
        ASSERT_EQ(seconds.size(), static_cast<std::size_t>(announced));
        EXPECT_EQ(seconds.front(), 0.0);
        for (std::size_t i = 1; i < seconds.size(); ++i)
        {
            EXPECT_GT(seconds[i], seconds[i - 1]) << "frame " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, MovieRecordingTest,
                         ::testing::Values(MovieCase{4, "movie.avi"}, MovieCase{5, "movie1.wmv"},
                                           MovieCase{6, "movie2.wmv"}, MovieCase{7, "movie3.wmv"},
                                           MovieCase{8, "movie.mp4"}),
                         [](const auto& info) { return std::to_string(info.param.fileFormat); });

TEST_F(ModelTest, SnapDuringAMovieRecordingAppendsOneFrame)
{
    auto& model = MakeModel();
    model.SelectFrameFormat(1);
    model.SetSetting(model.FileFormat, 4, MainModelProperty::FileFormat);
    model.SetSetting(model.SaveTarget, 0, MainModelProperty::SaveTarget); // snapped frames only
    const auto movie = folder / "snaps.avi";
    Announcements listener;
    model.AddListener(&listener);
    model.StartRecording(ToWideString(movie.string()));
    model.StartCapture();
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, 5));
    MainModel::Image snap(model.GetCurrentFrameFormat().width, model.GetCurrentFrameFormat().height);
    model.CopyFrame(snap);
    EXPECT_EQ(model.SaveFrame(snap, L""), L"");
    model.StopCapture();
    model.StopRecording();
    EXPECT_EQ(CountFrames(movie), 1);
    model.RemoveListener(&listener);
}

TEST_F(ModelTest, ASaveFailureOnTheCaptureThreadIsReportedAndRecordingGoesOn)
{
    auto& model = MakeModel();
    model.SelectFrameFormat(1);
    model.SetSetting(model.FileFormat, 2, MainModelProperty::FileFormat); // PNG
    model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget);
    const auto target = folder / "frames";
    Announcements listener;
    model.AddListener(&listener);
    listener.Take();

    // The folder is not there yet: every save fails until it is.
    model.StartRecording(ToWideString(target.string()));
    model.StartCapture();
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::DebugMessage, 2));
    const auto message = model.GetDebugMessage();
    // The system's reason, then where it was raised, whatever the debug-message switch says.
    EXPECT_NE(message.find(L"StillImageWriter.cpp("), std::wstring::npos) << Norvex::Core::ToUtf8(message);
    EXPECT_TRUE(model.IsRecording());

    std::filesystem::create_directory(target);
    const auto framesBefore = listener.Count(MainModelProperty::Frame);
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, framesBefore + 4));
    model.StopCapture();
    model.StopRecording();
    EXPECT_GE(std::distance(std::filesystem::directory_iterator(target), {}), 2);
    model.RemoveListener(&listener);
}

// A camera that runs slower than its format says (low light): the movie plays at the rate it
// really ran, not too fast.
TEST_F(ModelTest, AMovieOfACameraSlowerThanItsFormatPlaysAtTheRateItRan)
{
    Norvex::Testing::FakeV4l2Kernel kernel;
    auto camera = Norvex::Testing::FakeV4l2Kernel::UvcCamera("/dev/video0", "Dim Camera");
    camera.realInterval = v4l2_fract{1, 20};
    kernel.AddCamera(camera);
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    const auto movie = folder / "dim.avi";
    {
        auto& model = MakeModel(0);
        EXPECT_EQ(model.GetCurrentFrameFormat().frameRate, 30.0);
        model.SetSetting(model.FileFormat, 4, MainModelProperty::FileFormat);
        model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget); // a movie without frames goes
        Announcements listener;
        model.AddListener(&listener);
        model.StartCapture();
        ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, 5));
        model.StartRecording(ToWideString(movie.string()));
        ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, 10));
        model.StopRecording();
        model.StopCapture();
        model.RemoveListener(&listener);
    }
    model.reset();
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);
    EXPECT_EQ(Probe(movie, "-show_entries stream=r_frame_rate"), "20/1\n");
}

// A time-lapse keeps the first frame taken once each interval is due, by the camera's time: ten
// stills and a movie of ten frames whose capture times (their time-stamp files) lie on a 0.2 s grid,
// each less than a frame after its point (a camera at 24 frames per second, whose frames do not
// fall on the grid); the movie keeps the camera's rate, so it plays the two seconds in 10/24 s.
TEST_F(ModelTest, ATimeLapseKeepsOneFrameEveryIntervalInStillsAndMovies)
{
    using namespace std::chrono;
    auto camera = Norvex::Testing::FakeV4l2Kernel::OneFormatCamera("/dev/video0", V4L2_PIX_FMT_YUYV, 64, 48,
                                                                   milliseconds(10));
    camera.realInterval = v4l2_fract{1, 24};
    Norvex::Testing::FakeV4l2Kernel kernel;
    kernel.AddCamera(camera);
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    const auto stills = folder / "lapse";
    std::filesystem::create_directory(stills);
    const auto movie = folder / "lapse.mp4";
    {
        auto& model = MakeModel(0);
        model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget);
        model.SetSetting(model.RecordingInterval, 200, MainModelProperty::RecordingInterval);
        model.SetRecordingFrameLimit(10);
        Announcements listener;
        model.AddListener(&listener);
        model.StartCapture();
        ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, 3)); // the rate is measured
        for (const auto& [fileFormat, path] : {std::pair{0, stills}, std::pair{8, movie}})
        {
            model.SetSetting(model.FileFormat, fileFormat, MainModelProperty::FileFormat);
            model.StartRecording(ToWideString(path.string()));
            const auto deadline = steady_clock::now() + seconds(30);
            while (model.GetRecordedFrameCount() < 10 && steady_clock::now() < deadline)
            {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            }
            model.StopRecording();
            EXPECT_EQ(model.GetRecordedFrameCount(), 10);
        }
        model.StopCapture();
        model.RemoveListener(&listener);
    }
    model.reset();
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);

    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(stills), {}), 11)
        << "ten stills and frames.csv";
    for (const auto& file : {stills / "frames.csv", folder / "lapse.mp4.frames.csv"})
    {
        const auto times = Norvex::Testing::TimestampLines(file).Column("capture_time_s");
        ASSERT_EQ(times.size(), 10u) << file;
        for (std::size_t i = 1; i < times.size(); ++i)
        {
            const double late = std::stod(times[i]) - (std::stod(times[0]) + 0.2 * double(i));
            EXPECT_GE(late, -1e-6) << file << ", frame " << i;
            EXPECT_LT(late, 1 / 24.0) << file << ", frame " << i;
        }
    }
    EXPECT_EQ(CountFrames(movie), 10);
    EXPECT_EQ(Probe(movie, "-show_entries stream=r_frame_rate"), "24/1\n");
    EXPECT_NEAR(std::stod(Probe(movie, "-show_entries stream=duration")), 10 / 24.0, 0.01);
}

// A camera that skips frames (the fake kernel jumps its sequence numbers): the gap shows in the
// time-stamp file on the frame after it, in the recording's count of dropped frames, and in one
// warning; a camera that sends nothing leaves no movie behind, and says so.
TEST_F(ModelTest, ACameraGapShowsInTheTimestampFileAndInOneWarning)
{
    Norvex::Testing::FakeV4l2Kernel kernel;
    auto camera = Norvex::Testing::FakeV4l2Kernel::UvcCamera("/dev/video0", "Gappy Camera");
    camera.framePeriod = std::chrono::milliseconds(10);
    kernel.AddCamera(camera);
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    const auto movie = folder / "gap.avi";
    const auto silent = folder / "silent.avi";
    RecordingHealth::Status status;
    std::vector<std::wstring> warnings, silentWarnings;
    std::size_t warningAnnouncements = 0;
    {
        auto& model = MakeModel(0);
        model.SetSetting(model.FileFormat, 4, MainModelProperty::FileFormat);
        model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget);
        Announcements listener;
        model.AddListener(&listener);
        model.StartCapture();
        ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, 3));
        model.StartRecording(ToWideString(movie.string()));
        ASSERT_TRUE(
            WaitFor(listener, MainModelProperty::Frame, listener.Count(MainModelProperty::Frame) + 5));
        kernel.InjectFault("/dev/video0", Norvex::Testing::FakeV4l2Fault::SequenceGap, 4);
        ASSERT_TRUE(
            WaitFor(listener, MainModelProperty::Frame, listener.Count(MainModelProperty::Frame) + 5));
        model.StopRecording();
        status = model.GetRecordingStatus();
        warnings = model.TakeRecordingWarnings();
        QCoreApplication::processEvents();
        warningAnnouncements = listener.Count(MainModelProperty::RecordingWarning);

        kernel.SetFrameBudget("/dev/video0", 0);
        model.StopCapture();
        model.StartCapture();
        model.StartRecording(ToWideString(silent.string()));
        model.StopRecording();
        silentWarnings = model.TakeRecordingWarnings();
        model.StopCapture();
        model.RemoveListener(&listener);
    }
    model.reset();
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);

    const Norvex::Testing::TimestampLines csv(movie.string() + ".frames.csv");
    ASSERT_EQ(static_cast<long>(csv.lines.size()), CountFrames(movie));
    ASSERT_EQ(static_cast<std::int64_t>(csv.lines.size()), status.written);
    const auto sequences = csv.Column("sequence");
    const auto dropped = csv.Column("dropped_before");
    int gaps = 0;
    for (std::size_t i = 1; i < csv.lines.size(); ++i)
    {
        const auto step = std::stoll(sequences[i]) - std::stoll(sequences[i - 1]);
        EXPECT_EQ(std::stoll(dropped[i]), step - 1) << "line " << i;
        gaps += step == 5;
    }
    EXPECT_EQ(gaps, 1);
    EXPECT_EQ(status.dropped, 4);
    EXPECT_EQ(csv.Column("time_source").front(), "driver");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(L"録画でフレームが欠落しています"), std::wstring::npos);
    EXPECT_EQ(warningAnnouncements, 1u);

    EXPECT_FALSE(std::filesystem::exists(silent));
    EXPECT_FALSE(std::filesystem::exists(silent.string() + ".frames.csv"));
    EXPECT_EQ(silentWarnings, std::vector<std::wstring>{
                                  L"フレームが1つも録画されなかったため、空の動画ファイルを削除しました。"});
}

namespace
{

using Bytes = std::vector<unsigned char>;

// The NAL units of an Annex B stream, without their start codes.
std::vector<Bytes> NalUnits(const Bytes& stream)
{
    std::vector<std::size_t> starts;
    for (std::size_t at = 0; at + 2 < stream.size(); ++at)
    {
        if (stream[at] == 0 && stream[at + 1] == 0 && stream[at + 2] == 1)
        {
            starts.push_back(at + 3);
        }
    }
    std::vector<Bytes> units;
    for (std::size_t i = 0; i < starts.size(); ++i)
    {
        std::size_t end = i + 1 < starts.size() ? starts[i + 1] - 3 : stream.size();
        while (end > starts[i] && stream[end - 1] == 0)
        {
            --end;
        }
        units.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(starts[i]),
                           stream.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return units;
}

Bytes ReadAll(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The "00dc" chunks of an AVI's first RIFF part, in file order.
std::vector<Bytes> AviPictures(const std::filesystem::path& file)
{
    const Bytes avi = ReadAll(file);
    const auto u32 = [&](std::size_t at)
    {
        return std::uint32_t(avi[at]) | std::uint32_t(avi[at + 1]) << 8 | std::uint32_t(avi[at + 2]) << 16 |
               std::uint32_t(avi[at + 3]) << 24;
    };
    const std::string text(avi.begin(), avi.end());
    std::vector<Bytes> pictures;
    for (std::size_t at = text.find("movi") + 4; at + 8 <= avi.size();)
    {
        const std::uint32_t size = u32(at + 4);
        if (text.compare(at, 4, "00dc") == 0 && at + 8 + size <= avi.size())
        {
            pictures.emplace_back(avi.begin() + static_cast<std::ptrdiff_t>(at + 8),
                                  avi.begin() + static_cast<std::ptrdiff_t>(at + 8 + size));
        }
        else if (text.compare(at, 4, "idx1") == 0)
        {
            break;
        }
        at += 8 + size + size % 2;
    }
    return pictures;
}

// Distinct JPEG pictures of the fake kernel's bands: the same picture with a comment naming it.
std::vector<Bytes> NumberedJpegs(int count, int width, int height)
{
    const auto picture = Norvex::Testing::FakeV4l2Kernel::ReferencePicture(width, height);
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, picture.data(), width, 0, height, TJPF_BGRA, &jpeg, &size, TJSAMP_422, 90, 0);
    const Bytes base(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    std::vector<Bytes> pictures;
    for (int i = 0; i < count; ++i)
    {
        const std::string text = "picture " + std::to_string(i);
        // A comment segment right after the start-of-image marker.
        std::string comment = "\xFF\xFE";
        comment += static_cast<char>(0);
        comment += static_cast<char>(text.size() + 2);
        comment += text;
        Bytes numbered = base;
        numbered.insert(numbered.begin() + 2, comment.begin(), comment.end());
        pictures.push_back(std::move(numbered));
    }
    return pictures;
}

// Access units of an H.264 stream as a camera sends them: a key frame with its parameter sets
// every 15 pictures, no B-frames, each unit led by an access unit delimiter.
std::vector<Bytes> H264AccessUnits(const std::filesystem::path& folder, int count)
{
    const auto file = folder / "camera.h264";
    const std::string command =
        "ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=30 -frames:v " + std::to_string(count) +
        " -c:v libx264 -preset ultrafast -bf 0 -g 15 -x264-params aud=1 -pix_fmt yuv420p "
        "-f h264 '" +
        file.string() + "'";
    if (std::system(command.c_str()) != 0)
    {
        return {};
    }
    const Bytes stream = ReadAll(file);
    std::vector<Bytes> units;
    std::size_t begin = 0;
    for (std::size_t at = 4; at + 4 < stream.size(); ++at)
    {
        if (stream[at] == 0 && stream[at + 1] == 0 && stream[at + 2] == 0 && stream[at + 3] == 1 &&
            (stream[at + 4] & 0x1F) == 9)
        {
            units.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(begin),
                               stream.begin() + static_cast<std::ptrdiff_t>(at));
            begin = at;
        }
    }
    units.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(begin), stream.end());
    return units;
}

} // namespace

// A recording that keeps the camera's compression holds the camera's own bytes, in order and
// without a gap, at the camera's rate: every JPEG picture of an MJPEG camera in an AVI, every
// access unit of an H.264 camera in an MP4 from a key frame on; while the preview still gets
// decoded frames.
TEST_F(ModelTest, TheCamerasOwnPicturesAndAccessUnitsGoIntoTheFileUnchanged)
{
    using Norvex::Testing::FakeV4l2Kernel;
    const auto jpegs = NumberedJpegs(40, 320, 240);
    const auto units = H264AccessUnits(folder.Path(), 45);
    ASSERT_EQ(units.size(), 45u);
    FakeV4l2Kernel kernel;
    kernel.AddCamera(FakeV4l2Kernel::OneFormatCamera("/dev/video0", V4L2_PIX_FMT_MJPEG, 320, 240,
                                                     std::chrono::milliseconds(5)));
    kernel.AddCamera(FakeV4l2Kernel::OneFormatCamera("/dev/video1", V4L2_PIX_FMT_H264, 320, 240,
                                                     std::chrono::milliseconds(5)));
    kernel.SetFrameSequence("/dev/video0", jpegs);
    kernel.SetFrameSequence("/dev/video1", units);
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    const auto mjpeg = folder / "camera.avi";
    const auto h264 = folder / "camera.mp4";
    std::int64_t recorded[2] = {};
    {
        auto& model = MakeModel(0);
        model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget);
        model.SetRecordingFrameLimit(60);
        Announcements listener;
        model.AddListener(&listener);
        for (const auto& [device, fileFormat, path] : {std::tuple{0, 9, mjpeg}, std::tuple{1, 10, h264}})
        {
            model.SelectDevice(device);
            model.SetSetting(model.FileFormat, fileFormat, MainModelProperty::FileFormat);
            model.StartCapture();
            ASSERT_TRUE(
                WaitFor(listener, MainModelProperty::Frame, listener.Count(MainModelProperty::Frame) + 3));
            model.StartRecording(ToWideString(path.string()));
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (model.GetRecordedFrameCount() < 60 && std::chrono::steady_clock::now() < deadline)
            {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            }
            model.StopRecording();
            model.StopCapture();
            recorded[device] = model.GetRecordedFrameCount();
            EXPECT_EQ(recorded[device], 60);
        }
        EXPECT_TRUE(model.GetDebugMessage().empty()) << Norvex::Core::ToUtf8(model.GetDebugMessage());
        model.RemoveListener(&listener);
    }
    model.reset();
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);

    // The pictures follow one another as the camera sent them, from wherever the recording began.
    const auto pictures = AviPictures(mjpeg);
    ASSERT_EQ(pictures.size(), 60u);
    const auto first = std::find(jpegs.begin(), jpegs.end(), pictures.front());
    ASSERT_NE(first, jpegs.end());
    for (std::size_t i = 0; i < pictures.size(); ++i)
    {
        EXPECT_EQ(pictures[i], jpegs[(std::size_t(first - jpegs.begin()) + i) % jpegs.size()])
            << "picture " << i;
    }
    EXPECT_EQ(CountFrames(mjpeg), 60);
    EXPECT_EQ(Probe(mjpeg, "-show_entries stream=codec_name,r_frame_rate"), "mjpeg\n30/1\n");

    // The MP4's stream, back in Annex B form, is the camera's units from a key frame on.
    const auto annexB = folder / "back.h264";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i '" + h264.string() +
                           "' -c copy -bsf:v h264_mp4toannexb -f h264 '" + annexB.string() + "'")
                              .c_str()),
              0);
    const auto written = NalUnits(ReadAll(annexB));
    bool matched = false;
    for (std::size_t start = 0; start < units.size() && !matched; start += 15)
    {
        std::vector<Bytes> expected;
        for (std::size_t i = 0; i < 60; ++i)
        {
            const auto nals = NalUnits(units[(start + i) % units.size()]);
            expected.insert(expected.end(), nals.begin(), nals.end());
        }
        matched = written == expected;
    }
    EXPECT_TRUE(matched) << written.size() << " NAL units written";
    EXPECT_EQ(CountFrames(h264), 60);
    EXPECT_EQ(Probe(h264, "-show_entries stream=codec_name,r_frame_rate"), "h264\n30/1\n");
}

// Through the GStreamer back-end too: the test camera's own JPEG pictures and H.264 stream reach
// the file, which players read at the camera's rate.
TEST_F(ModelTest, TheGStreamerBackEndHandsTheCamerasOwnStreamToARecording)
{
    auto& model = MakeModel();
    const auto& devices = model.GetDevices();
    const auto camera = std::find_if(
        devices.begin(), devices.end(),
        [](const auto& device) { return device->friendlyName == L"Norvex Test Camera 6 (compressed)"; });
    ASSERT_NE(camera, devices.end());
    model.SelectDevice(static_cast<std::int32_t>(camera - devices.begin()));
    model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget);
    model.SetRecordingFrameLimit(12);
    for (const auto& [format, fileFormat, name, codec] :
         {std::tuple{0, 9, "camera.avi", "mjpeg"}, std::tuple{1, 10, "camera.mp4", "h264"}})
    {
        model.SelectFrameFormat(format);
        model.SetSetting(model.FileFormat, fileFormat, MainModelProperty::FileFormat);
        const auto movie = folder / name;
        model.StartCapture();
        model.StartRecording(ToWideString(movie.string()));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (model.GetRecordedFrameCount() < 12 && std::chrono::steady_clock::now() < deadline)
        {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        model.StopRecording();
        model.StopCapture();
        EXPECT_EQ(model.GetRecordedFrameCount(), 12) << name;
        EXPECT_EQ(CountFrames(movie), 12) << name;
        EXPECT_EQ(Probe(movie, "-show_entries stream=codec_name,r_frame_rate"),
                  std::string(codec) + "\n30/1\n");
    }
    EXPECT_TRUE(model.GetDebugMessage().empty()) << Norvex::Core::ToUtf8(model.GetDebugMessage());
}

// JPEG stills of a Y'CbCr camera are compressed from the camera's own samples, converted with
// each frame: bars coded in BT.709 (an HD camera's matrix) decode to their colours, each in its
// place, in every still, as a JFIF reader decodes them.
TEST_F(ModelTest, JpegStillsOfAYcbcrCameraShowItsColours)
{
    // Five bars 14 pixels wide (so the rows end after the vector blocks), as R'G'B'.
    constexpr int width = 70;
    constexpr int height = 40;
    const std::uint8_t bars[5][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}, {255, 0, 255}};
    std::vector<unsigned char> yuyv(static_cast<std::size_t>(width * height * 2));
    for (int x = 0; x < width; x += 2)
    {
        const auto& [r, g, b] = bars[x / 14];
        const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
        const auto level = [](double value)
        {
            return static_cast<unsigned char>(std::lround(value));
        };
        const unsigned char samples[4] = {
            level(16 + luma * 219 / 255), level(128 + (b - luma) / 1.8556 * 224 / 255),
            level(16 + luma * 219 / 255), level(128 + (r - luma) / 1.5748 * 224 / 255)};
        for (int row = 0; row < height; ++row)
        {
            std::copy(std::begin(samples), std::end(samples), yuyv.begin() + (row * width + x) * 2);
        }
    }
    auto camera = Norvex::Testing::FakeV4l2Kernel::OneFormatCamera("/dev/video0", V4L2_PIX_FMT_YUYV, width,
                                                                   height, std::chrono::milliseconds(5));
    camera.colorspace = V4L2_COLORSPACE_REC709;
    Norvex::Testing::FakeV4l2Kernel kernel;
    kernel.AddCamera(camera);
    kernel.SetFrameSequence("/dev/video0", {yuyv});
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    const auto stills = folder / "stills";
    std::filesystem::create_directory(stills);
    {
        auto& model = MakeModel(0);
        model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget);
        model.SetSetting(model.FileFormat, 1, MainModelProperty::FileFormat);
        model.SetRecordingFrameLimit(5);
        model.StartCapture();
        model.StartRecording(ToWideString(stills.string()));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (model.GetRecordedFrameCount() < 5 && std::chrono::steady_clock::now() < deadline)
        {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        model.StopRecording();
        model.StopCapture();
        EXPECT_EQ(model.GetRecordedFrameCount(), 5);
    }
    model.reset();
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);

    std::unique_ptr<void, decltype(&tjDestroy)> decoder(tjInitDecompress(), &tjDestroy);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(stills))
    {
        if (entry.path().extension() != ".jpg")
        {
            continue;
        }
        ++files;
        std::ifstream stream(entry.path(), std::ios::binary);
        std::vector<unsigned char> jpeg((std::istreambuf_iterator<char>(stream)),
                                        std::istreambuf_iterator<char>());
        std::vector<unsigned char> rgb(static_cast<std::size_t>(width * height * 3));
        ASSERT_EQ(tjDecompress2(decoder.get(), jpeg.data(), jpeg.size(), rgb.data(), width, 0, height,
                                TJPF_RGB, TJFLAG_ACCURATEDCT),
                  0)
            << entry.path();
        for (int bar = 0; bar < 5; ++bar)
        {
            const unsigned char* pixel = rgb.data() + ((height / 2) * width + bar * 14 + 7) * 3;
            for (int channel = 0; channel < 3; ++channel)
            {
                EXPECT_NEAR(pixel[channel], bars[bar][channel], 6)
                    << entry.path() << ", bar " << bar << " channel " << channel;
            }
        }
    }
    EXPECT_EQ(files, 5);
}
