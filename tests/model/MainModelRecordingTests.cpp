#include "FrameCount.h"
#include "ModelTestSupport.h"

#include "FakeV4l2Kernel.h"
#include "TimestampLines.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

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

// A time-lapse keeps the first frame to arrive once each interval is due: ten stills whose
// time-stamped names lie on a 0.2 s grid (mostly late by less than a frame), and a movie of ten frames
// that keeps the camera's rate, so it plays the two seconds in a third of one.
TEST_F(ModelTest, ATimeLapseKeepsOneFrameEveryIntervalInStillsAndMovies)
{
    using namespace std::chrono;
    constexpr auto framePeriod = milliseconds(30);
    Norvex::Testing::FakeV4l2Kernel kernel;
    kernel.AddCamera(Norvex::Testing::FakeV4l2Kernel::OneFormatCamera("/dev/video0", V4L2_PIX_FMT_YUYV, 64,
                                                                      48, framePeriod));
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    const auto stills = folder / "lapse";
    std::filesystem::create_directory(stills);
    const auto movie = folder / "lapse.mp4";
    {
        auto& model = MakeModel(0);
        model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget);
        model.SetSetting(model.RecordingInterval, 200, MainModelProperty::RecordingInterval);
        model.SetRecordingFrameLimit(10);
        model.StartCapture();
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
    }
    model.reset();
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);

    // YYYYMMDDhhmmssmmm: the milliseconds of the day are enough within one test.
    std::vector<long> times;
    for (const auto& entry : std::filesystem::directory_iterator(stills))
    {
        if (entry.path().filename() == "frames.csv")
        {
            continue; // the time-stamp file
        }
        const std::string name = entry.path().stem().string();
        ASSERT_EQ(name.size(), 17u) << name;
        times.push_back(((std::stol(name.substr(8, 2)) * 60 + std::stol(name.substr(10, 2))) * 60 +
                         std::stol(name.substr(12, 2))) *
                            1000 +
                        std::stol(name.substr(14, 3)));
    }
    ASSERT_EQ(times.size(), 10u);
    std::sort(times.begin(), times.end());
    // Never before its time, and mostly within a frame of it: a loaded machine may hold the
    // capture thread up now and then, but a due time moved on from each late frame would leave
    // most of them later than that (30 ms frames against a 200 ms grid).
    int onTime = 0;
    for (std::size_t i = 1; i < times.size(); ++i)
    {
        const long late = times[i] - (times.front() + 200 * long(i));
        EXPECT_GE(late, -2) << "frame " << i;
        onTime += late <= framePeriod.count() + 2 ? 1 : 0;
    }
    EXPECT_GE(onTime, 7);
    EXPECT_EQ(CountFrames(movie), 10);
    EXPECT_EQ(Probe(movie, "-show_entries stream=r_frame_rate"), "30/1\n");
    EXPECT_NEAR(std::stod(Probe(movie, "-show_entries stream=duration")), 10 / 30.0, 0.01);
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
