#include "ModelTestSupport.h"

#include "RecordingProcessorControl.h"

#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>

#include <cstring>
#include <optional>

using namespace VistelTest;
using Norvex::Core::Exception;

namespace
{

std::uint32_t Value(const Norvex::Core::Pixel<unsigned char>& pixel)
{
    std::uint32_t value;
    std::memcpy(&value, &pixel, 4);
    return value;
}

} // namespace

TEST_F(ModelTest, ANewListenerReceivesTheWholeStateOnceInOrder)
{
    auto& model = MakeModel();
    Announcements listener;
    model.AddListener(&listener);
    model.AddListener(&listener);
    const auto received = listener.Take();
    const std::vector<int> expected = {0,  1,  2,  5,  6,  7,  8,  9,  10, 11, 12, 16, 17,
                                       13, 14, 15, 18, 19, 20, 21, 22, 23, 24, 26, 29};
    ASSERT_EQ(received.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_EQ(static_cast<int>(received[i]), expected[i]) << "at " << i;
    }
    model.RemoveListener(&listener);
}

TEST_F(ModelTest, SelectingTheCurrentDeviceOrFormatAnnouncesNothing)
{
    auto& model = MakeModel();
    Announcements listener;
    model.AddListener(&listener);
    listener.Take();
    model.SelectDevice(model.GetDeviceIndex());
    model.SelectFrameFormat(model.GetCurrentDevice().frameFormatIndex);
    EXPECT_TRUE(listener.Take().empty());
    EXPECT_THROW(model.SelectDevice(99), Exception);
    EXPECT_THROW(model.SelectFrameFormat(-1), Exception);
    model.RemoveListener(&listener);
}

TEST_F(ModelTest, FormatSwitchScalesTheMarkerAndAnnouncesInOrder)
{
    auto& model = MakeModel();
    ASSERT_EQ(model.GetCurrentFrameFormat().GetName(), L"YUY2 640x480 (30fps)");
    EXPECT_EQ(model.GetMarkerPosition(), (MainModel::Point{320, 240})) << "starts at the centre";
    model.SetCursorPosition({10, 10});
    Announcements listener;
    model.AddListener(&listener);
    listener.Take();

    model.SelectFrameFormat(1); // YUY2 320x240
    EXPECT_EQ(model.GetCurrentFrameFormat().width, 320);
    EXPECT_EQ(model.GetMarkerPosition(), (MainModel::Point{160, 120}));
    EXPECT_EQ(model.GetCursorPosition(), (MainModel::Point{0, 0}));
    const auto received = listener.Take();
    const std::vector<MainModelProperty> expected = {
        MainModelProperty::IsCapturing,    MainModelProperty::CurrentFrameFormat,
        MainModelProperty::CursorPosition, MainModelProperty::CursorPixel,
        MainModelProperty::MarkerPosition, MainModelProperty::Profile};
    EXPECT_EQ(received, expected);

    std::vector<std::uint32_t> horizontal, vertical;
    model.GetProfiles(horizontal, vertical);
    EXPECT_EQ(horizontal.size(), 320u);
    EXPECT_EQ(vertical.size(), 240u);

    model.SetMarkerPosition({0, 0});
    model.SelectFrameFormat(0);
    EXPECT_EQ(model.GetMarkerPosition(), (MainModel::Point{0, 0}));
    model.RemoveListener(&listener);
}

TEST_F(ModelTest, MarkerOutsideTheFrameIsIgnored)
{
    auto& model = MakeModel();
    Announcements listener;
    model.AddListener(&listener);
    listener.Take();
    model.SetMarkerPosition({640, 10});
    model.SetMarkerPosition({10, -1});
    model.SetMarkerPosition(model.GetMarkerPosition());
    EXPECT_TRUE(listener.Take().empty());
    EXPECT_EQ(model.GetMarkerPosition(), (MainModel::Point{320, 240}));
    model.SetCursorPosition({640, 0});
    EXPECT_EQ(model.GetCursorPosition(), (MainModel::Point{0, 0}));
    model.RemoveListener(&listener);
}

TEST_F(ModelTest, StreamingFillsTheProfilesAtTheMarkerAndCopiesFrames)
{
    auto& model = MakeModel();
    Announcements listener;
    model.AddListener(&listener);
    // Hidden, the profiles are worked out when asked for; shown, with every frame: both the same.
    for (const bool shown : {false, true})
    {
        SCOPED_TRACE(shown ? "profiles shown" : "profiles hidden");
        model.SetSetting(model.IsMarkerVisible, shown, MainModelProperty::IsMarkerVisible);
        model.SetSetting(model.IsProfileVisible, shown, MainModelProperty::IsProfileVisible);
        listener.Take();
        model.StartCapture();
        EXPECT_TRUE(model.IsCapturing());
        ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, 3));
        // Announcements of one kind merge while the listener is busy, so each kind is waited for.
        EXPECT_TRUE(WaitFor(listener, MainModelProperty::CursorPixel, 3));
        model.StopCapture();
        EXPECT_FALSE(model.IsCapturing());

        MainModel::Image copy(640, 480);
        model.CopyFrame(copy);
        std::vector<std::uint32_t> horizontal, vertical;
        model.GetProfiles(horizontal, vertical);
        ASSERT_EQ(horizontal.size(), 640u);
        ASSERT_EQ(vertical.size(), 480u);
        for (int x = 0; x < 640; x += 37)
        {
            EXPECT_EQ(horizontal[static_cast<std::size_t>(x)], Value(copy.At(x, 240))) << x;
        }
        for (int y = 0; y < 480; y += 41)
        {
            EXPECT_EQ(vertical[static_cast<std::size_t>(y)], Value(copy.At(320, y))) << y;
        }
        // The bars differ across the picture: the profile is a real row, not a constant.
        EXPECT_NE(horizontal.front(), horizontal.back());

        MainModel::Image processorImage;
        model.CopyProcessorImage(processorImage);
        EXPECT_EQ(processorImage.width, 640);
        EXPECT_EQ(Value(processorImage.At(5, 5)), Value(copy.At(5, 5)));
    }
    model.RemoveListener(&listener);
}

TEST_F(ModelTest, ProcessorSwitchAnnouncesProcessorThenFrameAndReachesThePlugin)
{
    AddPlugin("VistelRecorder.so");
    auto& model = MakeModel();
    RecordingProcessorControl recorder(folder / "VistelRecorder.so");
    ASSERT_GE(model.GetProcessorEntries().size(), 2u);
    EXPECT_EQ(model.GetProcessorEntries()[0]->GetName(), L"なし");
    Announcements listener;
    model.AddListener(&listener);
    listener.Take();
    recorder.TakeCalls();

    model.SelectProcessor(1);
    EXPECT_EQ(listener.Take(), (std::vector{MainModelProperty::Processor, MainModelProperty::Frame}));
    model.StartCapture();
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, 2));
    model.StopCapture();
    const auto calls = recorder.TakeCalls();
    const auto has = [&](const std::string& text)
    {
        return std::any_of(calls.begin(), calls.end(),
                           [&](const auto& call) { return call.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(has("Initialize"));
    EXPECT_TRUE(has("Process"));
    EXPECT_TRUE(has("OnHostStateChanged 2"));

    model.SelectProcessor(0);
    const auto after = recorder.TakeCalls();
    EXPECT_TRUE(std::any_of(after.begin(), after.end(),
                            [](const auto& call) { return call.find("Finalize") != std::string::npos; }));
    model.RemoveListener(&listener);
}

// A processor that fails, however and wherever, is the processor's fault: no exception leaves
// the model, nothing calls the processor again, and the user-interface thread goes back to "なし",
// stores it and has a message naming the processor and its plug-in file.
TEST_F(ModelTest, AFailingProcessorIsReplacedByNoneAndNeverLocksTheUserOut)
{
    AddPlugin("VistelRecorder.so");
    RecordingProcessorControl recorder(folder / "VistelRecorder.so");
    const auto storedProcessor = [&]
    {
        return application.GetProfile().GetProfileString(L"Settings", L"ProcessorName", L"");
    };
    const auto namesThePlugin = [&](const std::optional<std::wstring>& message)
    {
        return message && message->find(L"記録") != std::wstring::npos &&
               message->find(Folder() + L"VistelRecorder.so") != std::wstring::npos;
    };

    // The stored processor cannot start: the model starts with "なし" all the same.
    application.GetProfile().WriteProfileString(L"Settings", L"ProcessorName", L"記録");
    recorder.Configure("ThrowingInitialize");
    auto& model = MakeModel();
    EXPECT_EQ(model.GetProcessorIndex(), 0);
    EXPECT_EQ(storedProcessor(), L"なし");
    Announcements listener;
    model.AddListener(&listener);
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::ProcessorFailed, 1)) << "a window is told";
    EXPECT_TRUE(namesThePlugin(model.RecoverFromProcessorFailure()));

    for (const char* failing : {"Process", "ThrowingProcess", "ThrowingOnHostStateChanged", "Reset"})
    {
        recorder.Configure("");
        model.SelectProcessor(1);
        recorder.Configure(failing);
        listener.Take();
        model.StartCapture();
        if (std::string(failing) == "Reset")
        {
            model.SelectFrameFormat(1);
        }
        ASSERT_TRUE(WaitFor(listener, MainModelProperty::ProcessorFailed, 1)) << failing;
        EXPECT_EQ(model.GetCurrentProcessor(), nullptr) << failing << " is called no more";
        const auto message = model.RecoverFromProcessorFailure();
        EXPECT_TRUE(namesThePlugin(message)) << failing;
        EXPECT_EQ(model.GetProcessorIndex(), 0);
        EXPECT_EQ(storedProcessor(), L"なし");
        EXPECT_FALSE(model.RecoverFromProcessorFailure()) << "one message per failure";
        model.StopCapture();
        model.SelectFrameFormat(0);
    }

    // One that fails to end is ended all the same, and the new choice stands.
    recorder.Configure("");
    model.SelectProcessor(1);
    recorder.Configure("ThrowingFinalize");
    model.SelectProcessor(0);
    EXPECT_TRUE(namesThePlugin(model.RecoverFromProcessorFailure()));
    EXPECT_EQ(recorder.GetLiveCount(), 0);
    model.RemoveListener(&listener);
}

TEST_F(ModelTest, StillRecordingOfEveryFrameWritesTimeStampedFiles)
{
    auto& model = MakeModel();
    model.SetSetting(model.FileFormat, 0, MainModelProperty::FileFormat); // BMP: fastest to write
    model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget);
    const auto target = folder / "frames";
    std::filesystem::create_directory(target);
    Announcements listener;
    model.AddListener(&listener);
    listener.Take();

    model.StartRecording(Norvex::Core::ToWideString(target.string()));
    model.StartRecording(L"/elsewhere"); // already recording: nothing
    EXPECT_EQ(model.GetSaveFolder(), Norvex::Core::ToWideString(target.string()) + L"/");
    model.StartCapture();
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, 5));
    model.StopCapture();
    model.StopRecording();
    model.StopRecording();
    QCoreApplication::processEvents();
    EXPECT_EQ(listener.Count(MainModelProperty::IsRecording), 2u) << "one start, one stop";

    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(target))
    {
        const auto name = entry.path().filename().string();
        if (name == "frames.csv")
        {
            continue; // the time-stamp file, a line for each picture
        }
        EXPECT_EQ(entry.path().extension(), ".bmp");
        EXPECT_TRUE(name.size() == 21 || name.find('_') == 17) << name; // YYYYMMDDhhmmssmmm.bmp or with "_2"
        ++files;
    }
    EXPECT_EQ(static_cast<std::int64_t>(files), model.GetRecordedFrameCount());
    EXPECT_GE(files, 5u);
    model.RemoveListener(&listener);
}

TEST_F(ModelTest, MovieRecordingAndUnsupportedFormats)
{
    auto& model = MakeModel();
    model.SetSetting(model.FileFormat, 4, MainModelProperty::FileFormat); // uncompressed AVI
    model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget);
    model.SetRecordingFrameLimit(4);
    const auto movie = folder / "movie.avi";
    Announcements listener;
    model.AddListener(&listener);
    model.StartRecording(Norvex::Core::ToWideString(movie.string()));
    model.StartCapture();
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, 8));
    model.StopCapture();
    model.StopRecording();
    EXPECT_EQ(model.GetRecordedFrameCount(), 4);
    EXPECT_GT(std::filesystem::file_size(movie), 4u * 640 * 480 * 3);

    model.SetSetting(model.FileFormat, -1, MainModelProperty::FileFormat);
    try
    {
        model.SaveFrame(*model.GetCurrentDevice().LockFrame(), L"");
        FAIL() << "no exception";
    }
    catch (const Exception& exception)
    {
        EXPECT_EQ(exception.GetMessage(), L"サポートされていないフォーマットが指定されました。");
    }
    // A movie format that cannot be opened leaves the model not recording.
    model.SetSetting(model.FileFormat, 4, MainModelProperty::FileFormat);
    EXPECT_THROW(model.StartRecording(Norvex::Core::ToWideString((folder / "missing/x.avi").string())),
                 Exception);
    EXPECT_FALSE(model.IsRecording());
    model.RemoveListener(&listener);
}

TEST_F(ModelTest, AFamilyOutsideTheTableEndsConstruction)
{
    EXPECT_THROW(MakeModel(2), Exception);
}

TEST_F(ModelTest, WindowsReadCopiesWhileTheCaptureThreadWrites)
{
    // Run under ThreadSanitizer this shows the reads of the user-interface thread are guarded.
    auto& model = MakeModel();
    model.SetCursorPosition({3, 4});
    Announcements listener;
    model.AddListener(&listener);
    model.SetPreviewInvalidator([] {});
    model.StartCapture();
    MainModel::Image shown;
    VistelCapture::LatestImageMailbox::Buffer painted;
    std::vector<std::uint32_t> horizontal, vertical;
    // Until several frames went by (announcements are merged, so the captured count tells).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const auto capturedBefore = model.GetCapturedFrameCount();
    int reads = 0;
    while (model.GetCapturedFrameCount() - capturedBefore < 8 && std::chrono::steady_clock::now() < deadline)
    {
        model.CopyProcessorImage(shown);
        (void)model.TakeShownImage(painted);
        model.GetProfiles(horizontal, vertical);
        (void)model.GetCursorPixel();
        (void)model.GetDebugMessage();
        model.SetMarkerPosition({reads % 640, reads % 480});
        QCoreApplication::processEvents();
        ++reads;
    }
    model.StopCapture();
    EXPECT_GE(model.GetCapturedFrameCount() - capturedBefore, 8);
    EXPECT_GE(listener.Count(MainModelProperty::Frame), 1u);
    EXPECT_EQ(shown.width, 640);
    EXPECT_EQ(painted.width, 640);
    EXPECT_EQ(horizontal.size(), 640u);
    model.RemoveListener(&listener);
}
