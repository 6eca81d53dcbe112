// The preview on the real model and the test camera, in an offscreen window.

#include "GuardedApplication.h"
#include "MainModel.h"
#include "PreviewWindow.h"
#include "VistelCaptureApp.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Mfc/PropertyChangedEvent.h>

#include "FakeDialogs.h"
#include "ModelTestSupport.h"
#include "RecordingProcessorControl.h"
#include "TemporaryFolder.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QRegion>
#include <QScrollBar>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using VistelCapture::GuardedApplication;
using VistelCapture::MainModel;
using VistelCapture::MainModelProperty;
using VistelCapture::PreviewWindow;

namespace
{

using VistelTest::Announcements;

class PreviewTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // One application per test: a test that ends the run must not end the next one's.
        qtApplication = std::make_unique<GuardedApplication>(argc, argv);
        application.PrepareIniFile(Norvex::Core::ToWideString(folder.Path().string()) + L"/VistelCapture");
    }

    void TearDown() override
    {
        preview.reset();
        model.reset();
        qtApplication.reset();
    }

    // A model on test camera 1 (640 x 480 first) and a preview of 800 x 600 without a frame.
    PreviewWindow& MakePreview(bool withRecorder = false)
    {
        if (withRecorder)
        {
            std::filesystem::copy_file(std::filesystem::path(NORVEX_TEST_PLUGINS) / "VistelRecorder.so",
                                       folder.Path() / "VistelRecorder.so");
            recorder =
                std::make_unique<VistelTest::RecordingProcessorControl>(folder.Path() / "VistelRecorder.so");
        }
        model = std::make_unique<MainModel>(
            1, true, true, Norvex::Core::ToWideString(folder.Path().string()) + L"/", application);
        preview = std::make_unique<PreviewWindow>(*model);
        preview->setFrameShape(QFrame::NoFrame);
        preview->resize(800, 600);
        preview->show();
        QCoreApplication::processEvents();
        return *preview;
    }

    static bool WaitUntil(const std::function<bool()>& condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!condition() && std::chrono::steady_clock::now() < deadline)
        {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return condition();
    }

    // Sets the ratio as the model would and lets the preview react.
    void SetRatio(int ratio)
    {
        model->SetViewRatio(ratio);
        QCoreApplication::processEvents();
    }

    // Streams until the preview painted a frame, then stops.
    void ShowOneFrame()
    {
        model->StartCapture();
        ASSERT_TRUE(WaitUntil(
            [&]
            {
                preview->viewport()->repaint();
                return preview->GetPaintedSequence() > 0;
            }));
        model->StopCapture();
        QCoreApplication::processEvents();
    }

    void Mouse(QEvent::Type type, QPointF position, Qt::MouseButton button = Qt::NoButton,
               Qt::MouseButtons buttons = Qt::NoButton, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QMouseEvent event(type, position, preview->viewport()->mapToGlobal(position), button, buttons,
                          modifiers);
        QCoreApplication::sendEvent(preview->viewport(), &event);
    }
    void Move(QPointF position, Qt::MouseButtons buttons = Qt::NoButton,
              Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        Mouse(QEvent::MouseMove, position, Qt::NoButton, buttons, modifiers);
    }
    void Press(QPointF position)
    {
        Mouse(QEvent::MouseButtonPress, position, Qt::LeftButton, Qt::LeftButton);
    }
    void Release(QPointF position)
    {
        Mouse(QEvent::MouseButtonRelease, position, Qt::LeftButton, Qt::NoButton);
    }
    void Leave()
    {
        QEvent event(QEvent::Leave);
        QCoreApplication::sendEvent(preview->viewport(), &event);
    }
    void Wheel(int delta)
    {
        const QPointF position(400, 300);
        QWheelEvent event(position, preview->viewport()->mapToGlobal(position), QPoint(), QPoint(0, delta),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(preview->viewport(), &event);
        QCoreApplication::processEvents();
    }

    // Opaque pixels compare as qRgb values in any 32-bit format; no conversion, which Qt would
    // spread over its thread pool.
    QImage Grab() { return preview->viewport()->grab().toImage(); }

    // The view position of an image pixel's centre.
    QPointF ViewPoint(double x, double y) const
    {
        const auto placement = preview->ComputePlacement(640, 480);
        return {placement.left + (x + 0.5) * placement.ratio, placement.top + (y + 0.5) * placement.ratio};
    }

    static inline int argc = 1;
    static inline char name[] = "PreviewWindowTests";
    static inline char* argv[] = {name, nullptr};
    std::unique_ptr<GuardedApplication> qtApplication;
    FakeDialogs dialogs;
    Norvex::Testing::TemporaryFolder folder;
    VistelCapture::VistelCaptureApp application;
    std::unique_ptr<VistelTest::RecordingProcessorControl> recorder;
    std::unique_ptr<MainModel> model;
    std::unique_ptr<PreviewWindow> preview;
};

const QRgb background = qRgb(0, 128, 128);

} // namespace

TEST_F(PreviewTest, ImageIsCentredWithoutBarsAndScrollsFromEdgeToEdgeWhenLarger)
{
    auto& view = MakePreview();
    ShowOneFrame();
    EXPECT_EQ(view.horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(view.verticalScrollBar()->maximum(), 0);
    QImage shot = Grab();
    // 640 x 480 in 800 x 600: the corner at (80, 60), background around it.
    EXPECT_EQ(shot.pixel(79, 60), background);
    EXPECT_EQ(shot.pixel(80, 59), background);
    EXPECT_NE(shot.pixel(80, 60), background);
    EXPECT_NE(shot.pixel(719, 539), background);
    EXPECT_EQ(shot.pixel(720, 539), background);

    // Narrower than the frame: a page of half the view, position 0 centres, the minimum puts
    // the image's left edge on the view's.
    view.resize(500, 600);
    QCoreApplication::processEvents();
    const int viewWidth = view.viewport()->width();
    const int excess = 640 - viewWidth;
    auto& bar = *view.horizontalScrollBar();
    EXPECT_EQ(bar.pageStep(), viewWidth / 2);
    EXPECT_EQ(bar.minimum(), -(excess / 2));
    EXPECT_EQ(bar.maximum(), excess + bar.minimum());
    EXPECT_EQ(bar.value(), 0);
    EXPECT_FLOAT_EQ(view.ComputePlacement(640, 480).left, -excess * 0.5f);
    bar.setValue(bar.minimum());
    EXPECT_NEAR(view.ComputePlacement(640, 480).left, 0, 0.5);
    shot = Grab();
    EXPECT_NE(shot.pixel(0, 300), background);
    bar.setValue(bar.maximum());
    EXPECT_NEAR(view.ComputePlacement(640, 480).left + 640, viewWidth, 1.0);
}

TEST_F(PreviewTest, FourHundredPercentShowsSharpSquarePixels)
{
    auto& view = MakePreview();
    ShowOneFrame();
    SetRatio(400);
    const QImage shot = Grab();
    shot.save(
        QString::fromStdString((std::filesystem::path(NORVEX_TEST_OUTPUT) / "preview-400.png").string()));
    const auto placement = view.ComputePlacement(640, 480);
    ASSERT_LT(placement.left, 0);
    // Along a row through the bar edges each image pixel is a run of exactly 4 view pixels:
    // nearest-neighbour scaling, no blend between neighbours.
    const int y = shot.height() / 2;
    int first = static_cast<int>(std::ceil(placement.left));
    while (first < 0)
    {
        first += 4;
    }
    int changes = 0;
    for (int x = first; x + 4 <= shot.width(); x += 4)
    {
        for (int i = 1; i < 4; ++i)
        {
            ASSERT_EQ(shot.pixel(x + i, y), shot.pixel(x, y)) << x + i;
        }
        changes += x > first && shot.pixel(x, y) != shot.pixel(x - 1, y);
    }
    EXPECT_GT(changes, 0) << "the row should cross a bar edge";
}

TEST_F(PreviewTest, WheelZoomsTenPercentPerNotchWithinTheLimitsAndAnnouncesOnlyChanges)
{
    MakePreview();
    Announcements listener;
    model->AddListener(&listener);
    QCoreApplication::processEvents();
    listener.received.clear();

    Wheel(120);
    EXPECT_EQ(model->ViewRatio, 110);
    SetRatio(1000);
    const auto announced = listener.Count(MainModelProperty::ViewRatio);
    Wheel(120);
    EXPECT_EQ(model->ViewRatio, 1000);
    EXPECT_EQ(listener.Count(MainModelProperty::ViewRatio), announced);
    SetRatio(10);
    Wheel(-120);
    EXPECT_EQ(model->ViewRatio, 10);
    SetRatio(11);
    Wheel(-120);
    EXPECT_EQ(model->ViewRatio, 10);
    // A high-resolution wheel's eighths of a notch still zoom at 10 %.
    for (int i = 0; i < 8; ++i)
    {
        Wheel(15);
    }
    EXPECT_GT(model->ViewRatio, 10);
    model->RemoveListener(&listener);
}

TEST_F(PreviewTest, SameSizeFormatKeepsTheBitmapAndANewSizeStartsBlack)
{
    auto& view = MakePreview();
    ShowOneFrame();
    const auto& formats = model->GetCurrentDevice().frameFormats;
    // Another format of the given size.
    const auto find = [&](std::int32_t width, std::int32_t height)
    {
        for (std::size_t i = 0; i < formats.size(); ++i)
        {
            if (static_cast<std::int32_t>(i) != model->GetCurrentDevice().frameFormatIndex &&
                formats[i]->width == width && formats[i]->height == height)
            {
                return static_cast<std::int32_t>(i);
            }
        }
        return -1;
    };
    const QImage before = view.GetFrameBitmap().copy();
    ASSERT_NE(before.pixel(10, 10), qRgb(0, 0, 0));

    model->SelectFrameFormat(find(640, 480));
    QCoreApplication::processEvents();
    view.viewport()->repaint();
    EXPECT_EQ(view.GetFrameBitmap(), before);

    model->SelectFrameFormat(find(320, 240));
    QCoreApplication::processEvents();
    view.viewport()->repaint();
    const QImage& replaced = view.GetFrameBitmap();
    ASSERT_EQ(replaced.size(), QSize(320, 240));
    for (int y = 0; y < 240; y += 17)
    {
        for (int x = 0; x < 320; x += 13)
        {
            ASSERT_EQ(replaced.pixel(x, y), qRgb(0, 0, 0)) << x << "," << y;
        }
    }
}

TEST_F(PreviewTest, MarkerIsHoveredDraggedClampedReleasedAndResetByDoubleClick)
{
    auto& view = MakePreview();
    ShowOneFrame();
    model->SetSetting(model->IsMarkerVisible, true, MainModelProperty::IsMarkerVisible);
    QCoreApplication::processEvents();
    ASSERT_EQ(model->GetMarkerPosition(), (MainModel::Point{320, 240}));
    const QPointF crossing = ViewPoint(320, 240);
    const QPoint sample = (crossing + QPointF(8, 8)).toPoint(); // in the highlight, off the lines
    const QRgb plain = Grab().pixel(sample);

    Move(crossing + QPointF(25, 0));
    EXPECT_FALSE(view.IsNearMarker());
    Move(crossing + QPointF(15, 0));
    EXPECT_TRUE(view.IsNearMarker());
    const QRgb hovered = Grab().pixel(sample);
    EXPECT_GT(qBlue(hovered), qBlue(plain) + 20) << "blue highlight";

    Press(crossing + QPointF(15, 0));
    EXPECT_TRUE(view.IsDraggingMarker());
    EXPECT_FALSE(view.IsPanning());
    const QRgb dragged = Grab().pixel(sample);
    EXPECT_GT(qRed(dragged), qRed(plain) + 20) << "red highlight";

    Move(ViewPoint(100.2, 50.2), Qt::LeftButton);
    EXPECT_EQ(model->GetMarkerPosition(), (MainModel::Point{100, 50}));
    Move(QPointF(-40, 700), Qt::LeftButton); // outside the image and the view
    EXPECT_EQ(model->GetMarkerPosition(), (MainModel::Point{0, 479}));
    Release(QPointF(-40, 700));
    EXPECT_FALSE(view.IsDraggingMarker());

    Move(ViewPoint(0, 479));
    ASSERT_TRUE(view.IsNearMarker());
    Press(ViewPoint(0, 479));
    Release(ViewPoint(0, 479));
    Mouse(QEvent::MouseButtonDblClick, ViewPoint(0, 479), Qt::LeftButton, Qt::LeftButton);
    EXPECT_EQ(model->GetMarkerPosition(), (MainModel::Point{320, 240}));

    // Away from the marker a double-click leaves it.
    Move(ViewPoint(500, 100));
    Mouse(QEvent::MouseButtonDblClick, ViewPoint(500, 100), Qt::LeftButton, Qt::LeftButton);
    EXPECT_EQ(model->GetMarkerPosition(), (MainModel::Point{320, 240}));
}

TEST_F(PreviewTest, CursorInImageIsAnnouncedOncePerCrossing)
{
    MakePreview();
    Announcements listener;
    model->AddListener(&listener);
    QCoreApplication::processEvents();
    listener.received.clear();

    Move(ViewPoint(10, 10));
    Move(ViewPoint(11, 10));
    EXPECT_EQ(model->GetCursorPosition(), (MainModel::Point{11, 10}));
    Move(ViewPoint(-0.7, 10)); // under one pixel left of the image: outside
    Move(ViewPoint(-3, 10));
    Move(ViewPoint(639, 479));
    Leave();
    Leave();
    QCoreApplication::processEvents();
    EXPECT_EQ(listener.Count(MainModelProperty::IsCursorInImage), 4u);
    EXPECT_FALSE(model->IsCursorInImage);
    EXPECT_EQ(model->GetCursorPosition(), (MainModel::Point{639, 479}));
    model->RemoveListener(&listener);
}

TEST_F(PreviewTest, HorizontalProfileStandsAsHighAboveTheBottomAsTheChannelValues)
{
    auto& view = MakePreview();
    ShowOneFrame();
    model->SetSetting(model->IsMarkerVisible, true, MainModelProperty::IsMarkerVisible);
    model->SetSetting(model->IsProfileVisible, true, MainModelProperty::IsProfileVisible);
    QCoreApplication::processEvents();
    std::vector<std::uint32_t> horizontal, vertical;
    model->GetProfiles(horizontal, vertical);
    // Row 240 starts in the white bar: all three channels (nearly) 255, blue drawn last.
    const std::uint32_t white = horizontal[40];
    ASSERT_GE(white & 0xFF, 250u);
    const int viewHeight = view.viewport()->height();
    const int x = static_cast<int>(ViewPoint(40, 0).x());
    const QImage shot = Grab();
    const int row = viewHeight - static_cast<int>(white & 0xFF);
    EXPECT_EQ(shot.pixel(x, row), qRgb(0, 0, 255)) << "row " << row;
    EXPECT_NE(shot.pixel(x, row - 1), qRgb(0, 0, 255));
    EXPECT_NE(shot.pixel(x, row + 1), qRgb(0, 0, 255));
}

// A frame repaints what it changes: the image and, when shown, the profiles along the view's edges
// (stale profiles otherwise), never the background around them (a paint as costly as the view).
TEST_F(PreviewTest, FramesRepaintTheImageAndTheProfilesNotTheBackground)
{
    auto& view = MakePreview();
    ShowOneFrame();
    SetRatio(50); // the image at (240, 180) - (560, 420) in the 800 x 600 view
    struct PaintRegions : QObject
    {
        std::vector<QRegion> regions;
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::Paint)
            {
                regions.push_back(static_cast<QPaintEvent*>(event)->region());
            }
            return false;
        }
    } paints;
    const auto stream = [&]
    {
        QCoreApplication::processEvents();
        paints.regions.clear();
        view.viewport()->installEventFilter(&paints);
        const auto first = view.GetPaintedSequence();
        model->StartCapture();
        // Paints take the newest frame, so under load one may skip some: paints are counted.
        const bool painted =
            WaitUntil([&] { return paints.regions.size() >= 4 && view.GetPaintedSequence() > first; });
        model->StopCapture();
        view.viewport()->removeEventFilter(&paints);
        return painted;
    };
    const QPoint image(400, 300), corner(780, 20), bottomStrip(20, 590), leftStrip(5, 100);

    ASSERT_TRUE(stream());
    const auto imageOnly = std::count_if(paints.regions.begin(), paints.regions.end(),
                                         [&](const QRegion& region)
                                         { return region.contains(image) && !region.contains(corner); });
    EXPECT_GE(imageOnly, 3);

    model->SetSetting(model->IsMarkerVisible, true, MainModelProperty::IsMarkerVisible);
    model->SetSetting(model->IsProfileVisible, true, MainModelProperty::IsProfileVisible);
    ASSERT_TRUE(stream());
    ASSERT_GE(paints.regions.size(), 4u);
    for (const QRegion& region : paints.regions)
    {
        EXPECT_TRUE(region.contains(image) && region.contains(bottomStrip) && region.contains(leftStrip));
    }
}

TEST_F(PreviewTest, DebugMessageShowsOnlyWhenEnabled)
{
    auto& view = MakePreview();
    model->SetSetting(model->SaveTarget, 1, MainModelProperty::SaveTarget);
    model->StartRecording(Norvex::Core::ToWideString((folder.Path() / "missing").string()));
    Announcements listener;
    model->AddListener(&listener);
    model->StartCapture();
    ASSERT_TRUE(WaitUntil([&] { return listener.Count(MainModelProperty::DebugMessage) > 0; }));
    model->StopCapture();
    model->StopRecording();
    model->RemoveListener(&listener);
    ASSERT_FALSE(model->GetDebugMessage().empty());
    QCoreApplication::processEvents();

    const auto redPixels = [&]
    {
        const QImage shot = Grab();
        int count = 0;
        for (int y = 0; y < 40; ++y)
        {
            for (int x = 0; x < 400; ++x)
            {
                const QRgb pixel = shot.pixel(x, y);
                count += qRed(pixel) > 200 && qGreen(pixel) < 80 && qBlue(pixel) < 80;
            }
        }
        return count;
    };
    const auto announce = [&]
    {
        QCoreApplication::postEvent(&view, new Norvex::Mfc::PropertyChangedEvent(
                                               Norvex::Mfc::PropertyChangedEvent::DefaultType(), model.get(),
                                               static_cast<int>(MainModelProperty::DebugMessage)));
        QCoreApplication::processEvents();
    };
    announce();
    EXPECT_EQ(redPixels(), 0);
    application.IsDebugMessageEnabled = true;
    announce();
    EXPECT_GT(redPixels(), 20);
    // Gone a second after the last message.
    EXPECT_TRUE(WaitUntil([&] { return redPixels() == 0; }));
}

TEST_F(PreviewTest, ProcessorGetsDrawingAndPointerCallsWithImagePointsAndMayHoldThePointer)
{
    auto& view = MakePreview(true);
    recorder->TakeCalls();
    model->SelectProcessor(1);
    SetRatio(50); // 320 x 240 at (240, 180)
    // The calls of the window (not the model's), a paint repeated by Qt counted once.
    const auto pointerCalls = [&]
    {
        std::vector<std::string> calls;
        for (const auto& call : recorder->TakeCalls())
        {
            if (call.rfind("1 On", 0) == 0 && call.find("OnHostStateChanged") == std::string::npos)
            {
                calls.push_back(call);
            }
        }
        calls.erase(std::unique(calls.begin(), calls.end()), calls.end());
        return calls;
    };

    view.viewport()->repaint();
    Move(QPointF(250, 190));
    Press(QPointF(250, 190));
    Release(QPointF(250, 190));
    Move(QPointF(240.25, 180.75), Qt::NoButton, Qt::ShiftModifier);
    Leave();
    EXPECT_EQ(pointerCalls(), (std::vector<std::string>{
                                  "1 OnRecreated2dResources target",
                                  "1 OnDraw2d target 0.5",
                                  "1 OnMouseEnter",
                                  "1 OnMouseMove 0 20 20",
                                  "1 OnLButtonDown 1 20 20",
                                  "1 OnLButtonUp 0 20 20",
                                  "1 OnMouseMove 4 0.5 1.5",
                                  "1 OnMouseLeave",
                              }));

    // Zoomed in, a press the processor claims does not pan; one it leaves does.
    SetRatio(400);
    auto& horizontal = *view.horizontalScrollBar();
    auto& vertical = *view.verticalScrollBar();
    const int x = horizontal.value();
    const int y = vertical.value();
    recorder->Configure("", true);
    Press(QPointF(300, 300));
    Move(QPointF(270, 280), Qt::LeftButton);
    Release(QPointF(270, 280));
    EXPECT_EQ(horizontal.value(), x);
    EXPECT_EQ(vertical.value(), y);
    EXPECT_FALSE(view.IsPanning());
    recorder->Configure("", false);
    Press(QPointF(300, 300));
    EXPECT_TRUE(view.IsPanning());
    Move(QPointF(270, 280), Qt::LeftButton);
    Release(QPointF(270, 280));
    EXPECT_EQ(horizontal.value(), x + 30);
    EXPECT_EQ(vertical.value(), y + 20);
    EXPECT_FALSE(view.IsPanning());
}

TEST_F(PreviewTest, AFailingProcessorStatusIsTheProcessorsFaultAndThePictureIsStillPainted)
{
    auto& view = MakePreview(true);
    model->SelectProcessor(1);
    QCoreApplication::processEvents();
    std::vector<std::exception_ptr> handled;
    qtApplication->SetTopLevelHandler([&](std::exception_ptr exception) { handled.push_back(exception); });
    recorder->Configure("OnDraw2d");
    view.viewport()->repaint();
    EXPECT_TRUE(handled.empty()) << "a processor's failure never ends the program";
    EXPECT_FALSE(qtApplication->HasFailed());
    EXPECT_EQ(model->GetCurrentProcessor(), nullptr) << "nothing calls the failed processor";
    recorder->TakeCalls();
    view.viewport()->repaint();
    EXPECT_TRUE(recorder->TakeCalls().empty());
    const auto message = model->RecoverFromProcessorFailure();
    ASSERT_TRUE(message);
    EXPECT_NE(message->find(L"OnDraw2d"), std::wstring::npos);
    EXPECT_EQ(model->GetProcessorIndex(), 0);
}

TEST_F(PreviewTest, RequestsFromAnotherThreadMergeAndThePaintShowsTheNewestImage)
{
    auto& view = MakePreview();
    // Counts the frame announcements and repaint requests that reach the window.
    class Counter final : public QObject
    {
    public:
        int frames = 0;
        int requests = 0;
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == Norvex::Mfc::PropertyChangedEvent::DefaultType())
            {
                frames += static_cast<Norvex::Mfc::PropertyChangedEvent*>(event)->GetProperty() ==
                          static_cast<int>(MainModelProperty::Frame);
            }
            else if (event->type() >= QEvent::User)
            {
                ++requests;
            }
            return false;
        }
    } counter;
    model->NotifyFrameChanged();
    QCoreApplication::processEvents();
    view.viewport()->repaint();
    const auto first = view.GetPaintedSequence();
    ASSERT_GT(first, 0u);
    view.installEventFilter(&counter);

    // A processor asking from its own thread, far faster than the window paints.
    std::thread processor(
        [&]
        {
            for (int i = 0; i < 200; ++i)
            {
                model->NotifyFrameChanged();
                model->InvalidatePreview();
            }
        });
    processor.join();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    view.viewport()->repaint();
    EXPECT_GE(counter.frames, 1);
    EXPECT_LE(counter.frames, 2);
    EXPECT_EQ(counter.requests, 1);
    EXPECT_EQ(view.GetPaintedSequence(), first + 200) << "the newest image, none in between";
    view.removeEventFilter(&counter);
}
