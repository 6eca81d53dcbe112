// Cameras that come and go while the model runs: on the fake V4L2 kernel, whose node events stand
// where udev's are, and on the test cameras, plugged through their plug file.

#include "ModelTestSupport.h"

#include "CameraControlStore.h"
#include "FakeV4l2Kernel.h"
#include "FrameCount.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <set>

using namespace VistelTest;
using Norvex::Testing::FakeV4l2Kernel;

namespace
{

class HotplugTest : public ModelTest
{
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    }
    void TearDown() override
    {
        model.reset();
        Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);
    }

    // Processes events until `condition` holds, or 30 s.
    static bool WaitUntil(const std::function<bool()>& condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!condition() && std::chrono::steady_clock::now() < deadline)
        {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return condition();
    }

    static std::vector<std::wstring> Names(const MainModel& model)
    {
        std::vector<std::wstring> names;
        for (const auto& device : model.GetDevices())
        {
            names.push_back(device->friendlyName);
        }
        return names;
    }

    FakeV4l2Kernel kernel;
};

} // namespace

TEST_F(HotplugTest, WithoutCamerasTheModelSaysWhyAndWhetherAnyMayBeOpened)
{
    auto& model = MakeModel(0);
    EXPECT_TRUE(model.GetDevices().empty());
    EXPECT_EQ(model.GetDeviceIndex(), -1);
    EXPECT_EQ(model.GetAbsenceText(), L"カメラが接続されていません。カメラをつなぐと、ここに表示されます。");
    EXPECT_EQ(model.GetCurrentFrameFormat().width, 0);
    EXPECT_THROW(model.StartCapture(), Norvex::Core::Exception);
    EXPECT_FALSE(model.IsCapturing());
    this->model.reset();

    // Nodes there, every one refusing this user: the user is not in the video group.
    auto locked = FakeV4l2Kernel::UvcCamera("/dev/video0", "Locked Camera");
    locked.openError = EACCES;
    kernel.AddCamera(locked);
    EXPECT_NE(MakeModel(0).GetAbsenceText().find(L"video グループ"), std::wstring::npos);
}

TEST_F(HotplugTest, AModelStartedWithoutCamerasFollowsArrivalsAndDeparturesAndStreamsTheNewCamera)
{
    auto& model = MakeModel(0);
    Announcements listener;
    model.AddListener(&listener);
    model.WatchDevices();

    kernel.AddCamera(FakeV4l2Kernel::UvcCamera("/dev/video0", "Desk Camera"));
    kernel.AddCamera(FakeV4l2Kernel::MetadataNode("/dev/video1", "Desk Camera"));
    ASSERT_TRUE(WaitUntil([&] { return model.GetDevices().size() == 1; }));
    EXPECT_EQ(model.GetDeviceIndex(), 0);
    EXPECT_TRUE(model.GetAbsenceText().empty());
    EXPECT_GT(model.GetCurrentFrameFormat().width, 0);
    model.StartCapture();
    const auto frames = listener.Count(MainModelProperty::Frame);
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, frames + 3)) << "the camera that arrived streams";

    // A second camera joins and leaves; the streaming one stays chosen and keeps streaming.
    auto second = FakeV4l2Kernel::UvcCamera("/dev/video2", "Second Camera");
    kernel.AddCamera(second);
    ASSERT_TRUE(WaitUntil([&] { return model.GetDevices().size() == 2; }));
    EXPECT_EQ(Names(model), (std::vector<std::wstring>{L"Desk Camera", L"Second Camera"}));
    kernel.Unplug("/dev/video2");
    ASSERT_TRUE(WaitUntil([&] { return model.GetDevices().size() == 1; }));
    EXPECT_EQ(model.GetCurrentDevice().friendlyName, L"Desk Camera");
    EXPECT_TRUE(model.IsCapturing());
    EXPECT_GE(listener.Count(MainModelProperty::DeviceList), 3u);
    model.StopCapture();
    model.RemoveListener(&listener);
}

TEST_F(HotplugTest, ACameraReplugedUnderANewNodeResumesWithItsFormatAndControlsButNotItsRecording)
{
    kernel.AddCamera(FakeV4l2Kernel::UvcCamera("/dev/video0", "Desk Camera"));
    auto& model = MakeModel(0);
    // Kept for this camera as its page (or --set) keeps them, whichever processor runs.
    VistelCapture::CameraControlStore store(application.GetProfile());
    store.Store(model.GetCurrentDevice(), *VistelCapture::CameraControlStore::Find("brightness"), 23, false);
    store.Store(model.GetCurrentDevice(), *VistelCapture::CameraControlStore::Find("Focus"), 120, false);
    Announcements listener;
    model.AddListener(&listener);
    model.WatchDevices();
    model.SelectFrameFormat(1);
    const auto formatName = model.GetCurrentFrameFormat().GetName();
    model.StartCapture();
    EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_BRIGHTNESS), 23) << "applied at the first start";
    EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_FOCUS_AUTO), 0);
    EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_FOCUS_ABSOLUTE), 120);
    model.SetSetting(model.FileFormat, 4, MainModelProperty::FileFormat); // AVI
    model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget); // every frame
    const auto movie = folder / "unplugged.avi";
    model.StartRecording(Norvex::Core::ToWideString(movie.string()));
    ASSERT_TRUE(WaitUntil([&] { return model.GetRecordedFrameCount() >= 3; }));

    // A descriptor of the old node stays open (another program), so the camera comes back as
    // /dev/video1, powered anew with its controls at their defaults.
    const int other = kernel.Open("/dev/video0", O_RDWR);
    kernel.Unplug("/dev/video0");
    ASSERT_TRUE(WaitUntil([&] { return model.GetDevices().empty() && !model.IsCapturing(); }));
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::RecordingWarning, 1));
    const auto warnings = model.TakeRecordingWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(L"録画を終了しました"), std::wstring::npos);
    EXPECT_FALSE(model.IsRecording()) << "the file was finished at the unplug";
    EXPECT_GT(std::filesystem::file_size(movie), 0u);
    EXPECT_TRUE(model.TakeRecordingWarnings().empty()) << "told once";

    ASSERT_EQ(kernel.Replug("/dev/video0"), "/dev/video1");
    ASSERT_EQ(kernel.ControlValue("/dev/video1", V4L2_CID_BRIGHTNESS), 0);
    ASSERT_TRUE(WaitUntil([&] { return model.IsCapturing(); })) << "it was capturing when it left";
    EXPECT_EQ(model.GetCurrentDevice().friendlyName, L"Desk Camera");
    EXPECT_EQ(model.GetCurrentFrameFormat().GetName(), formatName);
    EXPECT_EQ(kernel.ControlValue("/dev/video1", V4L2_CID_BRIGHTNESS), 23)
        << "applied again after the replug";
    EXPECT_EQ(kernel.ControlValue("/dev/video1", V4L2_CID_FOCUS_ABSOLUTE), 120);
    EXPECT_TRUE(kernel.IsStreaming("/dev/video1"));
    EXPECT_FALSE(model.IsRecording()) << "recording never resumes by itself";
    const auto frames = listener.Count(MainModelProperty::Frame);
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, frames + 3));

    // The camera's automatic side or another program moved a value; a format change starts it
    // again with the kept one.
    kernel.DriveControl("/dev/video1", V4L2_CID_BRIGHTNESS, -40);
    model.SelectFrameFormat(0);
    EXPECT_EQ(kernel.ControlValue("/dev/video1", V4L2_CID_BRIGHTNESS), 23);
    model.StopCapture();
    kernel.Close(other);
    model.RemoveListener(&listener);
}

// A capture card whose signal changes its size: capture goes on in the format of the new size
// without a failure shown; a movie, which cannot change size, ends with its file finished, while a
// still recording goes on; a size the card does not list ends capture, saying which it is.
TEST_F(HotplugTest, ACaptureCardsSignalOfAnotherListedSizeIsFollowedEndingOnlyAMovie)
{
    const char* card = "/dev/video0";
    auto camera =
        FakeV4l2Kernel::OneFormatCamera(card, V4L2_PIX_FMT_YUYV, 64, 48, std::chrono::milliseconds(2));
    camera.card = "Capture Card";
    camera.formats[0].sizes = {{64, 48}, {32, 24}};
    camera.dvTimings = true;
    camera.signalSize = std::pair{64u, 48u};
    kernel.AddCamera(camera);
    auto& model = MakeModel(0);
    Announcements listener;
    model.AddListener(&listener);
    ASSERT_EQ(model.GetCurrentFrameFormat().width, 64);
    model.StartCapture();
    model.SetSetting(model.FileFormat, 4, MainModelProperty::FileFormat); // AVI
    model.SetSetting(model.SaveTarget, 1, MainModelProperty::SaveTarget); // every frame
    const auto movie = folder / "card.avi";
    model.StartRecording(Norvex::Core::ToWideString(movie.string()));
    ASSERT_TRUE(WaitUntil([&] { return model.GetRecordedFrameCount() >= 3; }));

    kernel.ChangeSource(card, std::pair{32u, 24u});
    ASSERT_TRUE(WaitFor(listener, MainModelProperty::RecordingWarning, 1));
    ASSERT_TRUE(WaitUntil([&] { return model.GetCurrentFrameFormat().width == 32 && model.IsCapturing(); }));
    EXPECT_EQ(model.GetCurrentFrameFormat().height, 24);
    const auto warnings = model.TakeRecordingWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], L"入力信号の解像度が 32x24 に変わったため、録画を終了しました。"
                           L"変わるまでの録画はファイルに保存されています。");
    EXPECT_FALSE(model.IsRecording());
    EXPECT_EQ(Norvex::Testing::CountFrames(movie), model.GetRecordedFrameCount()) << "the movie was finished";
    const auto frames = model.GetCapturedFrameCount();
    ASSERT_TRUE(WaitUntil([&] { return model.GetCapturedFrameCount() >= frames + 3; }));
    EXPECT_EQ(model.GetCurrentDevice().LockFrame()->width, 32);
    EXPECT_EQ(listener.Count(MainModelProperty::DebugMessage), 0u) << "no failure to show";

    // Stills of each size go on through the change back.
    const auto stills = folder / "stills";
    std::filesystem::create_directory(stills);
    model.SetSetting(model.FileFormat, 0, MainModelProperty::FileFormat); // BMP
    model.StartRecording(Norvex::Core::ToWideString(stills.string()));
    ASSERT_TRUE(WaitUntil([&] { return model.GetRecordedFrameCount() >= 2; }));
    kernel.ChangeSource(card, std::pair{64u, 48u});
    ASSERT_TRUE(WaitUntil([&] { return model.GetCurrentFrameFormat().width == 64 && model.IsCapturing(); }));
    const auto before = model.GetRecordedFrameCount();
    ASSERT_TRUE(WaitUntil([&] { return model.GetRecordedFrameCount() >= before + 2; }));
    EXPECT_TRUE(model.IsRecording());
    model.StopRecording();
    std::set<std::int32_t> widths;
    for (const auto& entry : std::filesystem::directory_iterator(stills))
    {
        if (entry.path().extension() == ".bmp")
        {
            std::ifstream file(entry.path(), std::ios::binary);
            std::int32_t width = 0;
            file.seekg(18);
            file.read(reinterpret_cast<char*>(&width), sizeof width);
            widths.insert(width);
        }
    }
    EXPECT_EQ(widths, (std::set<std::int32_t>{32, 64}));

    // A size the card does not list ends capture, with the reason.
    kernel.ChangeSource(card, std::pair{48u, 32u});
    ASSERT_TRUE(WaitUntil([&] { return !model.IsCapturing() && model.GetCaptureEndReason(); }));
    const auto reason = model.GetCaptureEndReason();
    EXPECT_NE(reason->GetMessage().find(L"入力信号の解像度 48x32 はこの形式と違います。"),
              std::wstring::npos);

    // A start finds the signal at another listed size and takes that format.
    kernel.ChangeSource(card, std::pair{32u, 24u});
    model.StartCapture();
    EXPECT_TRUE(model.IsCapturing());
    EXPECT_EQ(model.GetCurrentFrameFormat().width, 32);
    model.StopCapture();
    kernel.ChangeSource(card, std::nullopt);
    EXPECT_THROW(model.StartCapture(), Norvex::Core::Exception);
    model.RemoveListener(&listener);
}

// The same on the GStreamer family: the test-camera provider plugs and unplugs its cameras as its
// plug file says, and GStreamer's device monitor reports it.
TEST_F(HotplugTest, TestCamerasPluggedInAndOutAreFollowedAndTheChosenOneResumesCapturing)
{
    const auto plugged = folder / "plugged";
    // Replaced whole, as the provider expects.
    const auto plug = [&](const char* cameras)
    {
        std::ofstream(folder / "plugged.new") << cameras;
        std::filesystem::rename(folder / "plugged.new", plugged);
    };
    plug("");
    ::setenv("NORVEX_TEST_CAMERA_PLUGGED", plugged.c_str(), 1);
    {
        auto& model = MakeModel(1);
        EXPECT_TRUE(model.GetDevices().empty());
        Announcements listener;
        model.AddListener(&listener);
        model.WatchDevices();

        plug("2");
        ASSERT_TRUE(WaitUntil([&] { return model.GetDevices().size() == 1; }));
        plug("1 2");
        ASSERT_TRUE(WaitUntil([&] { return model.GetDevices().size() == 2; }));
        EXPECT_EQ(model.GetCurrentDevice().friendlyName, L"Norvex Test Camera 2") << "the chosen one stays";
        model.SelectDevice(1);
        ASSERT_EQ(model.GetCurrentDevice().friendlyName, L"Norvex Test Camera 1");
        model.SelectFrameFormat(1);
        const auto formatName = model.GetCurrentFrameFormat().GetName();
        model.StartCapture();
        ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, 3));

        plug("2");
        ASSERT_TRUE(WaitUntil([&] { return model.GetDevices().size() == 1 && !model.IsCapturing(); }));
        const auto reason = model.GetCaptureEndReason();
        ASSERT_TRUE(reason) << "the stream ended with its message";
        EXPECT_EQ(reason->GetErrorCode(), Norvex::Core::HRESULT_FROM_WIN32(ENODEV));
        EXPECT_EQ(model.GetCurrentDevice().friendlyName, L"Norvex Test Camera 2");

        plug("1 2");
        ASSERT_TRUE(WaitUntil([&] { return model.IsCapturing(); }));
        EXPECT_EQ(model.GetCurrentDevice().friendlyName, L"Norvex Test Camera 1");
        EXPECT_EQ(model.GetCurrentFrameFormat().GetName(), formatName);
        const auto frames = listener.Count(MainModelProperty::Frame);
        ASSERT_TRUE(WaitFor(listener, MainModelProperty::Frame, frames + 3));
        model.StopCapture();
        model.RemoveListener(&listener);
        this->model.reset();
    }
    ::unsetenv("NORVEX_TEST_CAMERA_PLUGGED");
}
