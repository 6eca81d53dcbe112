#include "WindowTestSupport.h"

#include "DialogUnits.h"
#include "FakeDialogs.h"
#include "FakeV4l2Kernel.h"
#include "FileText.h"
#include "MainWindow.h"
#include "PreviewWindow.h"
#include "RecordingProcessorControl.h"
#include "SidePane.h"

#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>

#include <QComboBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QScreen>

#include <climits>

using namespace VistelTest;
using Norvex::Testing::FakeV4l2Kernel;
using VistelCapture::MainWindow;

namespace
{

const char* const placementKeys[] = {
    "WindowPlacementFlags",
    "WindowPlacementShowCmd",
    "WindowPlacementMinPositionX",
    "WindowPlacementMinPositionY",
    "WindowPlacementMaxPositionX",
    "WindowPlacementMaxPositionY",
    "WindowPlacementNormalPositionLeft",
    "WindowPlacementNormalPositionTop",
    "WindowPlacementNormalPositionRight",
    "WindowPlacementNormalPositionBottom",
};

class MainWindowTest : public WindowTest
{
protected:
    std::string IniText() const { return Norvex::Testing::ReadFileText(folder.Path() / "VistelCapture.ini"); }

    void StorePlacement(const std::vector<int>& values)
    {
        auto& profile = application.GetProfile();
        for (std::size_t i = 0; i < values.size(); ++i)
        {
            profile.WriteProfileInt(L"MainWindow", Norvex::Core::ToWideString(placementKeys[i]), values[i]);
        }
    }

    static double Rate(const QString& pane)
    {
        return pane.startsWith(QStringLiteral("FPS = ")) ? pane.mid(6).toDouble() : -1.0;
    }
};

} // namespace

// A suite of its own: the guarded application reports one error per run.
class PlacementWriteTest : public MainWindowTest
{
};

TEST_F(MainWindowTest, AFirstStartUsesTheTemplateSizeAndClosingStopsCaptureAndWritesTheTenKeys)
{
    auto& model = MakeModel();
    MainWindow window(model);
    EXPECT_EQ(window.size(),
              VistelCapture::DialogUnits(QStringLiteral("MS UI Gothic"), 9).ToPixels(420, 390));
    window.show();
    model.StartCapture();
    ASSERT_TRUE(WaitUntil([&] { return model.GetCapturedFrameCount() > 0; }));

    window.close();
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(model.IsCapturing());
    const std::string text = IniText();
    auto position = text.find("[MainWindow]");
    ASSERT_NE(position, std::string::npos) << text;
    const QRect frame = window.frameGeometry();
    const int expected[] = {0,
                            1,
                            -1,
                            -1,
                            -1,
                            -1,
                            frame.left(),
                            frame.top(),
                            frame.left() + frame.width(),
                            frame.top() + frame.height()};
    for (std::size_t i = 0; i < std::size(placementKeys); ++i)
    {
        const std::string line = std::string(placementKeys[i]) + "=" + std::to_string(expected[i]) + "\n";
        const auto found = text.find(line, position);
        ASSERT_NE(found, std::string::npos) << line << " missing or out of order in\n" << text;
        position = found + line.size();
    }

    // A second window takes the placement back.
    MainWindow second(model);
    second.show();
    EXPECT_EQ(second.frameGeometry(), frame);
    second.close();
}

TEST_F(PlacementWriteTest, APlacementThatCannotBeWrittenRaisesFromTheClose)
{
    auto& model = MakeModel();
    MainWindow window(model);
    window.show();
    // Something in the file's place that no write can replace.
    const auto ini = folder.Path() / "VistelCapture.ini";
    std::filesystem::remove(ini);
    std::filesystem::create_directory(ini);
    window.close();
    ASSERT_TRUE(escaped) << "the close reported success";
    try
    {
        std::rethrow_exception(std::exchange(escaped, nullptr));
    }
    catch (const Norvex::Core::Exception& exception)
    {
        EXPECT_EQ(exception.GetErrorCode(), Norvex::Core::E_UNEXPECTED);
        EXPECT_EQ(exception.GetFunctionName(), L"OnClose");
    }
    std::filesystem::remove(ini);
}

TEST_F(MainWindowTest, AStoredPlacementIsAppliedOnlyWhenItDescribesAUsableWindow)
{
    auto& model = MakeModel();
    StorePlacement({0, 2, -1, -1, -1, -1, 40, 30, 540, 430});
    {
        MainWindow window(model);
        EXPECT_TRUE(window.windowState().testFlag(Qt::WindowMinimized));
    }
    // The frame the window system puts around the window comes out of the stored size.
    StorePlacement({0, 1, -1, -1, -1, -1, 40, 30, 540, 430});
    {
        MainWindow window(model);
        window.show();
        EXPECT_TRUE(WaitUntil([&] { return window.frameGeometry() == QRect(40, 30, 500, 400); }))
            << window.frameGeometry().x() << "," << window.frameGeometry().y() << " "
            << window.frameGeometry().width() << "x" << window.frameGeometry().height();
        window.close();
    }

    // Each of these once left the program running without a window a user could see or reach,
    // and wrote its empty rectangle back for every later start.
    const QSize defaultSize =
        VistelCapture::DialogUnits(QStringLiteral("MS UI Gothic"), 9).ToPixels(420, 390);
    const std::vector<std::vector<int>> unusable = {
        {0, 1, -1, -1, -1, -1, 100, 100, 100, 500}, // no width
        {0, 1, -1, -1, -1, -1, 300, 300, 200, 200}, // turned inside out
        {0, 1, -1, -1, -1, -1, INT_MIN, INT_MIN, INT_MAX, INT_MAX},
        {0, 1, -1, -1, -1, -1, 0, 0, 100000, 100000},   // far larger than the desktop
        {0, 1, -1, -1, -1, -1, 5000, 4000, 5500, 4400}, // on a monitor that was unplugged
        {0, 1, -1, -1, -1, -1, 0, 0, 20, 20},           // smaller than the top band
        {0, 3, -1, -1, -1, -1, -1, -1, -1, -1},         // flags without a rectangle
        {0, 99, -1, -1, -1, -1, -1, -1, -1, -1},
        {2, 2, -1, -1, -1, -1, -1, -1, -1, -1},
    };
    for (const auto& values : unusable)
    {
        StorePlacement(values);
        MainWindow window(model);
        window.show();
        EXPECT_EQ(window.size(), defaultSize) << values[6] << " " << values[7] << " " << values[8];
        EXPECT_EQ(window.windowState(), Qt::WindowNoState) << values[1];
        const QRect frame = window.frameGeometry();
        window.close();
        // What is written back is what the window had.
        const auto& profile = application.GetProfile();
        EXPECT_EQ(profile.GetProfileInt(L"MainWindow", L"WindowPlacementNormalPositionLeft", 0),
                  frame.left());
        EXPECT_EQ(profile.GetProfileInt(L"MainWindow", L"WindowPlacementNormalPositionRight", 0),
                  frame.left() + frame.width());
        EXPECT_EQ(profile.GetProfileInt(L"MainWindow", L"WindowPlacementNormalPositionBottom", 0),
                  frame.top() + frame.height());
    }
    application.GetProfile().WriteProfileString(L"MainWindow", L"WindowPlacementNormalPositionRight",
                                                L"wide");
    MainWindow window(model);
    window.show();
    EXPECT_EQ(window.size(), defaultSize) << "a value that is no number";
    window.close();
}

TEST_F(MainWindowTest, OneProcessorGivesNoProcessorItemInTheMenu)
{
    auto& model = MakeModel();
    ASSERT_EQ(model.GetProcessorEntries().size(), 1u);
    MainWindow window(model);
    QStringList items;
    for (const auto* action : window.GetWindowMenu().actions())
    {
        items << (action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    EXPECT_EQ(items, QStringList{QStringLiteral("バージョン情報(&A)...")});
}

TEST_F(MainWindowTest, WithoutFramesTheRateIsZeroAndCaptureShowsTheCamerasRate)
{
    FakeDialogs dialogs;
    auto& model = MakeModel();
    MainWindow window(model);
    window.show();
    const auto panes = StatusPanes(window);
    ASSERT_EQ(panes.size(), 4);
    EXPECT_EQ(panes[0]->text(), QStringLiteral("FPS = 0"));
    ASSERT_TRUE(WaitUntil([&] { return panes[0]->text() == QStringLiteral("FPS = 0.000000"); }))
        << panes[0]->text().toStdString();

    auto* capture = FindButton(window, QStringLiteral("取り込み"));
    ASSERT_NE(capture, nullptr);
    capture->click();
    EXPECT_TRUE(model.IsCapturing());
    EXPECT_FALSE(capture->isChecked()) << "the button waits for the model's notification";
    EXPECT_EQ(capture->text(), QStringLiteral("取り込み"));
    ASSERT_TRUE(WaitUntil([&] { return capture->text() == QStringLiteral("停止"); }));
    EXPECT_TRUE(capture->isChecked());
    // The camera sends 30 frames a second; a loaded machine may deliver fewer, never none.
    ASSERT_TRUE(WaitUntil([&] { return Rate(panes[0]->text()) > 15.0; })) << panes[0]->text().toStdString();
    EXPECT_LT(Rate(panes[0]->text()), 40.0);
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^FPS = \\d+\\.\\d{6}$")).match(panes[0]->text()).hasMatch());

    capture->click();
    ASSERT_TRUE(WaitUntil([&] { return capture->text() == QStringLiteral("取り込み"); }));
    EXPECT_FALSE(capture->isChecked());
    EXPECT_TRUE(dialogs.errors.isEmpty());
    window.close();
}

// What a recording holds, in sight while it runs and after it ended; a recording that got no
// frame (the default "Snapされたフレーム" with no snap) is told in a box and leaves no file.
TEST_F(MainWindowTest, TheStatusBarFollowsARecordingAndAnEmptyOneIsTold)
{
    FakeDialogs dialogs;
    auto& model = MakeModel();
    model.SetSetting(model.FileFormat, 4, VistelCapture::MainModelProperty::FileFormat); // AVI
    model.SetSetting(model.SaveTarget, 1, VistelCapture::MainModelProperty::SaveTarget);
    MainWindow window(model);
    window.show();
    const auto panes = StatusPanes(window);
    ASSERT_EQ(panes.size(), 4);
    EXPECT_TRUE(panes[3]->text().isEmpty()) << "no recording yet";

    model.StartCapture();
    model.StartRecording(Norvex::Core::ToWideString((folder / "every.avi").string()));
    // Drops are whatever the bounded camera queue shed under load; the pane must state the model's count.
    const QRegularExpression running(QStringLiteral("^録画中 00:00:\\d\\d, [1-9]\\d* フレーム, 欠落 \\d+$"));
    ASSERT_TRUE(WaitUntil([&] { return running.match(panes[3]->text()).hasMatch(); }))
        << panes[3]->text().toStdString();
    model.StopRecording();
    const QString ended = QStringLiteral("録画済み 00:00:%1, %2 フレーム, 欠落 %3");
    ASSERT_TRUE(WaitUntil([&] { return panes[3]->text().startsWith(QStringLiteral("録画済み")); }));
    const auto status = model.GetRecordingStatus();
    EXPECT_EQ(
        panes[3]->text(),
        ended.arg(std::chrono::duration_cast<std::chrono::seconds>(status.elapsed).count(), 2, 10, QChar('0'))
            .arg(status.written)
            .arg(status.dropped));
    // A loaded machine may shed enough frames to be warned about (once, maybe late), and nothing else.
    const auto isDropWarning = [](const QString& warning)
    {
        return warning.startsWith(QStringLiteral("録画でフレームが欠落しています"));
    };

    model.SetSetting(model.SaveTarget, 0, VistelCapture::MainModelProperty::SaveTarget);
    model.StartRecording(Norvex::Core::ToWideString((folder / "snaps.avi").string()));
    model.StopRecording();
    const QString emptyMovie =
        QStringLiteral("フレームが1つも録画されなかったため、空の動画ファイルを削除しました。");
    ASSERT_TRUE(WaitUntil([&] { return dialogs.warnings.contains(emptyMovie); }));
    EXPECT_EQ(dialogs.warnings.count(emptyMovie), 1);
    for (const auto& warning : dialogs.warnings)
    {
        EXPECT_TRUE(warning == emptyMovie || isDropWarning(warning)) << warning.toStdString();
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "snaps.avi"));
    EXPECT_TRUE(dialogs.errors.isEmpty());
    window.close();
}

TEST_F(MainWindowTest, TheReadOutShowsThePixelUnderThePointerAndEmptiesWhenItLeaves)
{
    auto& model = MakeModel();
    MainWindow window(model);
    window.show();
    model.StartCapture();
    ASSERT_TRUE(WaitUntil([&] { return model.GetCapturedFrameCount() > 2; }));
    const auto panes = StatusPanes(window);
    auto* preview = window.findChild<VistelCapture::PreviewWindow*>();
    ASSERT_NE(preview, nullptr);
    // The middle of image pixel (12, 7), wherever the preview centres the picture.
    const auto placement = preview->ComputePlacement(640, 480);
    const QPointF point(placement.left + 12.5 * placement.ratio, placement.top + 7.5 * placement.ratio);
    QMouseEvent move(QEvent::MouseMove, point, preview->viewport()->mapToGlobal(point), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(preview->viewport(), &move);
    // Column 12 of the test camera is in its white bar.
    ASSERT_TRUE(WaitUntil([&] { return panes[1]->text() == QStringLiteral("X = 12, Y = 7"); }));
    ASSERT_TRUE(WaitUntil([&] { return panes[2]->text().startsWith(QStringLiteral("R = ")); }));
    const auto values =
        QRegularExpression(QStringLiteral("^R = (\\d+), G = (\\d+), B = (\\d+)$")).match(panes[2]->text());
    ASSERT_TRUE(values.hasMatch()) << panes[2]->text().toStdString();
    for (int channel = 1; channel <= 3; ++channel)
    {
        EXPECT_GT(values.captured(channel).toInt(), 200) << panes[2]->text().toStdString();
    }

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(preview->viewport(), &leave);
    ASSERT_TRUE(WaitUntil([&] { return panes[1]->text().isEmpty() && panes[2]->text().isEmpty(); }));
    EXPECT_TRUE(panes[0]->text().startsWith(QStringLiteral("FPS = ")));
    window.close();
}

TEST_F(MainWindowTest, EnterAndEscapeNeitherCloseTheWindowNorPressAButton)
{
    AddPlugin("VistelPaged.so"); // a processor with a page, so the side pane can show page 1
    auto& model = MakeModel();
    const auto& entries = model.GetProcessorEntries();
    for (std::size_t i = 0; i < entries.size(); ++i)
    {
        if (entries[i]->GetName() == L"ページ付き")
        {
            model.SelectProcessor(static_cast<std::int32_t>(i));
        }
    }
    model.SetSetting(model.ControlPanelPage, 1, VistelCapture::MainModelProperty::ControlPanelPage);
    model.SetSetting(model.IsSidePaneVisible, true, VistelCapture::MainModelProperty::IsSidePaneVisible);
    const auto ratio = model.ViewRatio;
    MainWindow window(model);
    window.show();
    window.activateWindow();
    for (const int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
    {
        QWidget* target = window.focusWidget() ? window.focusWidget() : &window;
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
        QApplication::sendEvent(target, &release);
        QCoreApplication::processEvents();
    }
    // A field that does not use Return (a number box applies its value) passes it on to the window,
    // whose first auto-default button QDialog would click: the side pane's "取り込み設定".
    ASSERT_TRUE(WaitUntil([&] { return window.findChild<VistelCapture::SidePane*>()->isVisible(); }));
    for (const int key : {Qt::Key_Return, Qt::Key_Enter})
    {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(&window, &press);
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(model.IsCapturing());
    EXPECT_EQ(model.ControlPanelPage, 1) << "no button of the window took Return";
    EXPECT_EQ(model.ViewRatio, ratio);
    window.close();
    EXPECT_FALSE(window.isVisible());
}

TEST_F(MainWindowTest, TheSidePaneToggleSlidesThePaneInLeftOfTheButtonsAndBackOut)
{
    auto& model = MakeModel();
    MainWindow window(model);
    window.show();
    auto* toggle = FindButton(window, QStringLiteral("<"));
    auto* capture = FindButton(window, QStringLiteral("取り込み"));
    ASSERT_TRUE(toggle && capture);
    ASSERT_TRUE(WaitUntil([&] { return toggle->geometry().right() == window.width() - 1; }));
    EXPECT_EQ(capture->geometry().right() + 1, toggle->x());

    toggle->click();
    EXPECT_FALSE(toggle->isChecked());
    ASSERT_TRUE(WaitUntil([&] { return toggle->text() == QStringLiteral(">"); }));
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_TRUE(model.IsSidePaneVisible);
    const int paneWidth = VistelCapture::DialogUnits(QStringLiteral("MS Shell Dlg"), 8).ToPixelsX(180);
    const auto paneInPlace = [&]
    {
        for (const auto* child : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        {
            if (child->isVisible() && child->width() == paneWidth &&
                child->x() == window.width() - paneWidth && child->y() == 0)
            {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(WaitUntil(paneInPlace));
    EXPECT_EQ(toggle->geometry().right() + 1, window.width() - paneWidth);
    EXPECT_EQ(capture->geometry().right() + 1, toggle->x());

    toggle->click();
    ASSERT_TRUE(WaitUntil([&] { return toggle->geometry().right() == window.width() - 1; }));
    EXPECT_EQ(toggle->text(), QStringLiteral("<"));
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_FALSE(paneInPlace());
    EXPECT_EQ(capture->geometry().right() + 1, toggle->x());
    window.close();
}

TEST_F(MainWindowTest, AFailingStartShowsTheErrorBoxAndTheWindowStays)
{
    FakeV4l2Kernel kernel;
    kernel.AddCamera(FakeV4l2Kernel::UvcCamera("/dev/video0", "Bench Camera"));
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    FakeDialogs dialogs;
    {
        auto& camera = MakeModel(0);
        MainWindow window(camera);
        window.show();
        kernel.Unplug("/dev/video0");
        auto* capture = FindButton(window, QStringLiteral("取り込み"));
        ASSERT_NE(capture, nullptr);
        capture->click();
        QCoreApplication::processEvents();
        ASSERT_EQ(dialogs.errors.size(), 1);
        EXPECT_TRUE(dialogs.errors.front().startsWith(QStringLiteral("open /dev/video0: ")))
            << "names the step and the device: " << dialogs.errors.front().toStdString();
        EXPECT_TRUE(window.isVisible());
        EXPECT_FALSE(camera.IsCapturing());
        EXPECT_FALSE(capture->isChecked());
        EXPECT_EQ(capture->text(), QStringLiteral("取り込み"));
        window.close();
    }
    model.reset(); // after the window, before the kernel it streams from
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);
}

TEST_F(MainWindowTest, ACameraPulledOutIsToldInTheStatusBarUntilCaptureStartsAgain)
{
    FakeV4l2Kernel kernel;
    kernel.AddCamera(FakeV4l2Kernel::UvcCamera("/dev/video0", "Bench Camera"));
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    {
        auto& camera = MakeModel(0);
        MainWindow window(camera);
        window.show();
        const auto panes = StatusPanes(window);
        auto* capture = FindButton(window, QStringLiteral("取り込み"));
        ASSERT_NE(capture, nullptr);
        capture->click();
        ASSERT_TRUE(WaitUntil([&] { return capture->text() == QStringLiteral("停止"); }));

        kernel.Unplug("/dev/video0");
        ASSERT_TRUE(WaitUntil([&] { return panes[0]->text() == QStringLiteral("カメラが取り外されました"); }))
            << panes[0]->text().toStdString();
        EXPECT_EQ(capture->text(), QStringLiteral("取り込み"));
        EXPECT_FALSE(panes[0]->toolTip().isEmpty()) << "the system's words";
        ASSERT_TRUE(WaitUntil([&] { return kernel.OpenCount("/dev/video0") == 0; }))
            << "what was left of the stream is released";

        kernel.Replug("/dev/video0");
        capture->click();
        ASSERT_TRUE(WaitUntil([&] { return panes[0]->text().startsWith(QStringLiteral("FPS = ")); }));
        window.close();
    }
    model.reset();
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);
}

// Each way a plug-in once locked the user out or ended the program: the user is told which
// processor of which plug-in file failed, works on with "なし", which is stored for the next start,
// and can always close the window.
TEST_F(MainWindowTest, ABrokenProcessorIsNamedReplacedByNoneAndNeverEndsTheProgram)
{
    AddPlugin("VistelRecorder.so");
    AddPlugin("VistelPaged.so");
    VistelTest::RecordingProcessorControl recorder(folder.Path() / "VistelRecorder.so");
    FakeDialogs dialogs;
    auto& model = MakeModel();
    auto window = std::make_unique<MainWindow>(model);
    window->show();
    model.SetSetting(model.IsSidePaneVisible, true, VistelCapture::MainModelProperty::IsSidePaneVisible);
    const auto select = [&](const std::wstring& name)
    {
        const auto& entries = model.GetProcessorEntries();
        for (std::size_t i = 0; i < entries.size(); ++i)
        {
            if (entries[i]->GetName() == name)
            {
                model.SelectProcessor(static_cast<std::int32_t>(i));
                // The page is shown at once, so a page that cannot paint gets its chance.
                model.SetSetting(model.ControlPanelPage, 1,
                                 VistelCapture::MainModelProperty::ControlPanelPage);
                return;
            }
        }
        FAIL() << "no processor";
    };
    const struct
    {
        const char* failing;
        const wchar_t* processor;
        const char* file;
    } cases[] = {
        {"CreateControlPanel", L"記録", "VistelRecorder.so"},
        {"ThrowingCreateControlPanel", L"記録", "VistelRecorder.so"},
        {"ThrowingOnDraw2d", L"記録", "VistelRecorder.so"},
        {"ThrowingInitialize", L"記録", "VistelRecorder.so"},
        {"", L"壊れたページ", "VistelPaged.so"},
    };
    for (const auto& failure : cases)
    {
        recorder.Configure(failure.failing);
        dialogs.errors.clear();
        select(failure.processor);
        window->update();
        ASSERT_TRUE(WaitUntil([&] { return !dialogs.errors.empty() && model.GetProcessorIndex() == 0; }))
            << failure.failing << ": no message, or still on processor " << model.GetProcessorIndex();
        const QString message = dialogs.errors.front();
        EXPECT_TRUE(message.contains(QString::fromStdWString(failure.processor)) &&
                    message.contains((folder.Path() / failure.file).c_str()))
            << message.toStdString();
        EXPECT_EQ(application.GetProfile().GetProfileString(L"Settings", L"ProcessorName", L""), L"なし");
        // The window works on: it paints, and the failure is told once.
        window->repaint();
        QCoreApplication::processEvents();
        EXPECT_EQ(dialogs.errors.size(), 1) << failure.failing;
        recorder.Configure("");
    }

    // A processor that fails as capture stops cannot keep the window open, and is not stored.
    select(L"記録");
    model.StartCapture();
    recorder.Configure("ThrowingOnHostStateChanged");
    window->close();
    EXPECT_FALSE(window->isVisible());
    window.reset();
    this->model.reset();
    EXPECT_EQ(application.GetProfile().GetProfileString(L"Settings", L"ProcessorName", L""), L"なし");
}

// Started without a camera the window stays, says so where the picture would be and offers nothing
// to start; a camera plugged in appears in the list and can be started.
TEST_F(MainWindowTest, WithoutACameraTheWindowSaysSoAndTakesTheCameraPluggedInLater)
{
    FakeV4l2Kernel kernel;
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(&kernel);
    {
        auto& camera = MakeModel(0);
        camera.WatchDevices();
        MainWindow window(camera);
        window.show();
        auto* capture = FindButton(window, QStringLiteral("取り込み"));
        ASSERT_NE(capture, nullptr);
        auto* devices = window.findChild<QComboBox*>(QStringLiteral("deviceCombo"));
        ASSERT_NE(devices, nullptr);
        auto* preview = window.findChild<VistelCapture::PreviewWindow*>();
        ASSERT_NE(preview, nullptr);
        const auto whitePixels = [&]
        {
            const QImage picture = preview->viewport()->grab().toImage();
            int count = 0;
            for (int y = 0; y < picture.height(); ++y)
            {
                for (int x = 0; x < picture.width(); ++x)
                {
                    count += picture.pixel(x, y) == qRgb(255, 255, 255);
                }
            }
            return count;
        };
        ASSERT_TRUE(WaitUntil([&] { return !capture->isEnabled(); })) << "nothing to start";
        EXPECT_EQ(devices->count(), 0);
        EXPECT_GT(whitePixels(), 50) << "the line in the preview area";

        kernel.AddCamera(FakeV4l2Kernel::UvcCamera("/dev/video0", "Bench Camera"));
        ASSERT_TRUE(WaitUntil([&] { return devices->count() == 1 && capture->isEnabled(); }));
        EXPECT_EQ(devices->currentText(), QStringLiteral("Bench Camera"));
        EXPECT_EQ(whitePixels(), 0) << "the line is gone";
        capture->click();
        ASSERT_TRUE(WaitUntil([&] { return capture->text() == QStringLiteral("停止"); }));
        window.close();
    }
    model.reset();
    Norvex::Core::V4l2VideoCapture::KernelInterface::ReplaceSystem(nullptr);
}
