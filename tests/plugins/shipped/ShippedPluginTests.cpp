// The shipped plug-ins as the application meets them: found by the real discovery, selected in a
// model on the V4L2 fake kernel, their pages used while frames flow, their settings kept across a
// restart.
#include "WidgetTestSupport.h"

#include "FakeV4l2Kernel.h"
#include "TemporaryFolder.h"

#include "MainModel.h"
#include "PluginDiscovery.h"
#include "VistelCaptureApp.h"

#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>

#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>

#include <fcntl.h>
#include <linux/videodev2.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

using namespace VistelTest;
using Norvex::Testing::FakeV4l2Camera;
using Norvex::Testing::FakeV4l2Kernel;
using VistelCapture::MainModel;

namespace
{

// The fake camera's stable path, with the blank escaped, and the control.
constexpr wchar_t brightnessKey[] = L"/dev/v4l/by-id/usb-Bench%0020Camera-video-index0:Brightness";

const wchar_t* const shippedNames[] = {L"カメラ設定", L"フォーカスピーキング", L"領域統計", L"露出警告"};

std::vector<std::wstring> NamesOf(const std::vector<std::shared_ptr<VistelCapture::ProcessorEntry>>& entries)
{
    std::vector<std::wstring> names;
    for (const auto& entry : entries)
    {
        names.push_back(entry->GetName());
    }
    return names;
}

std::vector<std::wstring> Expected()
{
    std::vector<std::wstring> names{L"なし"};
    names.insert(names.end(), std::begin(shippedNames), std::end(shippedNames));
    return names;
}

// The child of type T with this object name.
template <class T> T* Page(QWidget* page, const char* name)
{
    return page->findChild<T*>(QString::fromUtf8(name));
}

// The control widget of type T whose accessible name is name.
template <class T> T* Control(QWidget* page, const QString& name)
{
    for (T* widget : page->findChildren<T*>())
    {
        if (widget->accessibleName() == name)
        {
            return widget;
        }
    }
    return nullptr;
}

class ShippedPluginTest : public WidgetTest
{
protected:
    void SetUp() override
    {
        for (const char* name : {"VistelInspection.so", "VistelCameraSettings.so"})
        {
            std::filesystem::copy_file(std::filesystem::path(VISTEL_BUILD_BIN) / name, folder.Path() / name);
        }
        application.PrepareIniFile(Folder() + L"VistelCapture");
        kernel.AddCamera(FakeV4l2Kernel::UvcCamera("/dev/video0", "Bench Camera"));
        FakeV4l2Camera plain;
        plain.node = "/dev/video1";
        plain.card = "Plain Camera";
        plain.formats = FakeV4l2Kernel::UvcCamera("/dev/video1", "Plain Camera").formats;
        kernel.AddCamera(plain); // no controls at all
        Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    }
    void TearDown() override
    {
        model.reset();
        Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);
    }

    std::wstring Folder() const { return Norvex::Core::ToWideString(folder.Path().string()) + L"/"; }

    MainModel& MakeModel()
    {
        model.reset();
        model = std::make_unique<MainModel>(0, true, true, Folder(), application);
        return *model;
    }

    std::int32_t IndexOf(const wchar_t* name)
    {
        const auto& entries = model->GetProcessorEntries();
        for (std::size_t i = 0; i < entries.size(); ++i)
        {
            if (entries[i]->GetName() == name)
            {
                return static_cast<std::int32_t>(i);
            }
        }
        ADD_FAILURE() << "no processor " << Norvex::Core::ToUtf8(name);
        return 0;
    }

    // The page of the selected processor; the test owns it.
    std::unique_ptr<QWidget> MakePage()
    {
        QWidget* page = nullptr;
        EXPECT_EQ(model->GetCurrentProcessor()->CreateControlPanel(nullptr, &page), Norvex::Core::S_OK);
        return std::unique_ptr<QWidget>(page);
    }

    bool WaitForFrames(std::int64_t count)
    {
        const std::int64_t target = model->GetCapturedFrameCount() + count;
        return WaitUntil([&] { return model->GetCapturedFrameCount() >= target; });
    }

    void SetFakeControl(const char* node, std::uint32_t id, std::int32_t value)
    {
        const int fd = kernel.Open(node, O_RDWR);
        ASSERT_GE(fd, 0);
        v4l2_control control{id, value};
        EXPECT_EQ(kernel.Ioctl(fd, VIDIOC_S_CTRL, &control), 0);
        kernel.Close(fd);
    }

    Norvex::Testing::TemporaryFolder folder;
    VistelCapture::VistelCaptureApp application;
    FakeV4l2Kernel kernel;
    std::unique_ptr<MainModel> model;
};

} // namespace

TEST_F(ShippedPluginTest, AllFourAreFoundInTheBuildFolderAndInAnInstalledTreeAfterTheBuiltIn)
{
    EXPECT_EQ(
        NamesOf(VistelCapture::DiscoverProcessorEntries(Norvex::Core::ToWideString(VISTEL_BUILD_BIN) + L"/")),
        Expected());

    const auto prefix = folder.Path() / "prefix";
    const std::string install = std::string("'") + CMAKE_COMMAND + "' --install '" + VISTEL_BUILD_DIR +
                                "' --component VistelPlugins --prefix '" + prefix.string() + "' >/dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0);
    EXPECT_EQ(NamesOf(VistelCapture::DiscoverProcessorEntries(
                  Norvex::Core::ToWideString((prefix / "lib/vistel-capture").string()) + L"/")),
              Expected());
}

TEST_F(ShippedPluginTest, EveryProcessorRunsOnLiveFramesWhileItsPageAndOverlayAreUsed)
{
    auto& model = MakeModel();
    ASSERT_EQ(NamesOf(model.GetProcessorEntries()), Expected());
    model.StartCapture();
    for (const wchar_t* name : shippedNames)
    {
        SCOPED_TRACE(Norvex::Core::ToUtf8(name));
        model.SelectProcessor(IndexOf(name));
        auto page = MakePage();
        ASSERT_TRUE(page);
        page->show();
        auto* processor = model.GetCurrentProcessor();
        const auto& format = model.GetCurrentFrameFormat();
        for (int round = 0; round < 5; ++round)
        {
            ASSERT_TRUE(WaitForFrames(3));
            // What the preview does on the window thread while the capture thread processes.
            MainModel::Image shown;
            model.CopyProcessorImage(shown);
            ASSERT_EQ(shown.width, format.width);
            ASSERT_EQ(shown.height, format.height);
            QImage screen(format.width * 2, format.height * 2, QImage::Format_RGB32);
            screen.fill(Qt::black);
            QPainter painter(&screen);
            EXPECT_EQ(processor->OnDraw2d(&painter, 2.0), Norvex::Core::S_OK);
            bool captured = false;
            Vistel::Framework::Point2F from{1.5f + round, 2.5f}, to{20.5f, 30.5f};
            processor->OnLButtonDown(Vistel::Framework::MK_LBUTTON, &from, &captured);
            processor->OnMouseMove(Vistel::Framework::MK_LBUTTON, &to);
            processor->OnLButtonUp(0, &to);
        }
        page.reset();
    }
    // A format of another size while a processor with a region runs.
    model.SelectProcessor(IndexOf(L"領域統計"));
    model.SelectFrameFormat(1);
    ASSERT_TRUE(WaitForFrames(3));
    MainModel::Image shown;
    model.CopyProcessorImage(shown);
    EXPECT_EQ(shown.width, model.GetCurrentFrameFormat().width);
    model.StopCapture();
}

TEST_F(ShippedPluginTest, PictureAidSettingsSurviveARestartThroughTheIniFile)
{
    {
        auto& model = MakeModel();
        model.SelectProcessor(IndexOf(L"フォーカスピーキング"));
        auto page = MakePage();
        Control<QSpinBox>(page.get(), QStringLiteral("しきい値"))->setValue(77);
        auto* colors = Control<QComboBox>(page.get(), QStringLiteral("色"));
        colors->setCurrentIndex(colors->findText(QStringLiteral("青")));
        page.reset();

        model.SelectProcessor(IndexOf(L"露出警告"));
        page = MakePage();
        Page<QSpinBox>(page.get(), "highLevel")->setValue(240);
        page->findChild<QCheckBox*>()->setChecked(true);
        Page<QSpinBox>(page.get(), "darkLevel")->setValue(12);
        page.reset();

        model.SelectProcessor(IndexOf(L"領域統計"));
        model.StartCapture();
        ASSERT_TRUE(WaitForFrames(1));
        bool captured = false;
        Vistel::Framework::Point2F from{10.5f, 8.5f}, to{3.5f, 2.5f};
        model.GetCurrentProcessor()->OnLButtonDown(Vistel::Framework::MK_LBUTTON, &from, &captured);
        model.GetCurrentProcessor()->OnLButtonUp(0, &to);
        model.StopCapture();
    }
    auto& model = MakeModel();
    EXPECT_EQ(model.GetProcessorEntries()[static_cast<std::size_t>(model.GetProcessorIndex())]->GetName(),
              L"領域統計");
    model.StartCapture();
    auto page = MakePage();
    ASSERT_TRUE(WaitUntil(
        [&] { return Page<QLabel>(page.get(), "region")->text() == QStringLiteral("3, 2  8 x 7"); }))
        << Page<QLabel>(page.get(), "region")->text().toStdString();
    model.StopCapture();
    page.reset();

    model.SelectProcessor(IndexOf(L"フォーカスピーキング"));
    page = MakePage();
    EXPECT_EQ(Control<QSpinBox>(page.get(), QStringLiteral("しきい値"))->value(), 77);
    EXPECT_EQ(Control<QComboBox>(page.get(), QStringLiteral("色"))->currentText(), QStringLiteral("青"));
    page.reset();

    model.SelectProcessor(IndexOf(L"露出警告"));
    page = MakePage();
    EXPECT_EQ(Page<QSpinBox>(page.get(), "highLevel")->value(), 240);
    EXPECT_TRUE(page->findChild<QCheckBox*>()->isChecked());
    EXPECT_EQ(Page<QSpinBox>(page.get(), "darkLevel")->value(), 12);
}

TEST_F(ShippedPluginTest, CameraSettingsReachTheDeviceAreKeptPerCameraAndComeBackAfterARestart)
{
    {
        auto& model = MakeModel();
        model.SelectProcessor(IndexOf(L"カメラ設定"));
        auto page = MakePage();
        EXPECT_TRUE(page->findChild<QLabel*>(QStringLiteral("message")))
            << "V4L2 controls exist only while streaming";

        model.StartCapture();
        ASSERT_TRUE(WaitUntil([&] { return Control<QSpinBox>(page.get(), QStringLiteral("明るさ")); }))
            << "the page lists the controls once the stream offers them";
        EXPECT_TRUE(Control<QSpinBox>(page.get(), QStringLiteral("コントラスト")));
        EXPECT_TRUE(Control<QSpinBox>(page.get(), QStringLiteral("フォーカス")));
        EXPECT_FALSE(Control<QSpinBox>(page.get(), QStringLiteral("ズーム"))) << "the camera has no zoom";
        auto* brightness = Control<QSpinBox>(page.get(), QStringLiteral("明るさ"));
        EXPECT_EQ(brightness->minimum(), -64);
        EXPECT_EQ(brightness->maximum(), 64);
        EXPECT_EQ(Control<QLabel>(page.get(), QStringLiteral("フォーカス 範囲"))->text(),
                  QStringLiteral("0〜250  刻み 5  既定 0"));
        auto* focusAuto = Control<QCheckBox>(page.get(), QStringLiteral("フォーカス 自動"));
        ASSERT_TRUE(focusAuto);
        EXPECT_TRUE(focusAuto->isChecked());

        brightness->setValue(23);
        EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_BRIGHTNESS), 23);
        focusAuto->setChecked(false);
        Control<QSlider>(page.get(), QStringLiteral("フォーカス"))->setValue(120);
        EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_FOCUS_AUTO), 0);
        EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_FOCUS_ABSOLUTE), 120);
        const auto stored = application.GetProfile().GetProfileString(L"CameraSettings", brightnessKey, L"");
        EXPECT_EQ(stored, L"23,2");

        // Another camera: its own (empty) settings, and a plain message for a camera without controls.
        model.SelectDevice(1);
        ASSERT_TRUE(
            WaitUntil([&] { return page->findChild<QLabel*>(QStringLiteral("message")) != nullptr; }));
        EXPECT_FALSE(page->findChild<QSlider*>());
        model.StopCapture();
        page.reset();
        model.SelectDevice(0);
    }
    // Meanwhile someone else changed the camera.
    SetFakeControl("/dev/video0", V4L2_CID_BRIGHTNESS, -5);
    SetFakeControl("/dev/video0", V4L2_CID_FOCUS_AUTO, 1);
    {
        auto& model = MakeModel();
        model.StartCapture();
        EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_BRIGHTNESS), 23);
        EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_FOCUS_AUTO), 0);
        EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_FOCUS_ABSOLUTE), 120);

        auto page = MakePage();
        page->findChild<QPushButton*>()->click();
        EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_BRIGHTNESS), 0);
        EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_FOCUS_AUTO), 1);
        EXPECT_EQ(application.GetProfile().GetProfileString(L"CameraSettings", brightnessKey, L"?"), L"");
        ASSERT_TRUE(WaitUntil(
            [&]
            {
                return Control<QSpinBox>(page.get(), QStringLiteral("明るさ")) &&
                       Control<QSpinBox>(page.get(), QStringLiteral("明るさ"))->value() == 0;
            }));
        model.StopCapture();
    }
}

// A camera whose automatic mode moves a value, a user typing into a number box, a camera pulled
// out while its page is open.
TEST_F(ShippedPluginTest,
       TheCameraPageFollowsAutomaticValuesAppliesTypedOnesOnReturnAndEmptiesWhenTheCameraGoes)
{
    auto& model = MakeModel();
    model.SelectProcessor(IndexOf(L"カメラ設定"));
    auto page = MakePage();
    model.StartCapture();
    ASSERT_TRUE(WaitUntil([&] { return Control<QSpinBox>(page.get(), QStringLiteral("露出")); }));
    EXPECT_FALSE(Control<QSpinBox>(page.get(), QStringLiteral("露出"))->isEnabled())
        << "driven by the automatic mode";
    kernel.DriveControl("/dev/video0", V4L2_CID_EXPOSURE_ABSOLUTE, 400);
    ASSERT_TRUE(
        WaitUntil([&] { return Control<QSpinBox>(page.get(), QStringLiteral("露出"))->value() == 400; }))
        << "read again, not the value of when the page was made";

    auto* brightness = Control<QSpinBox>(page.get(), QStringLiteral("明るさ"));
    brightness->selectAll();
    for (const auto& [key, text] : {std::pair{Qt::Key_2, "2"}, std::pair{Qt::Key_0, "0"}})
    {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString::fromLatin1(text));
        QApplication::sendEvent(brightness, &press);
    }
    EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_BRIGHTNESS), 0) << "nothing sent while typing";
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(brightness, &enter);
    EXPECT_EQ(kernel.ControlValue("/dev/video0", V4L2_CID_BRIGHTNESS), 20);

    kernel.Unplug("/dev/video0");
    ASSERT_TRUE(WaitUntil([&] { return page->findChild<QLabel*>(QStringLiteral("message")) != nullptr; }))
        << "the gone camera's controls are not offered";
    EXPECT_FALSE(page->findChild<QSpinBox*>());
    EXPECT_FALSE(model.IsCapturing());
}
