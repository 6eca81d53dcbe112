// The preview on the real model and test camera 1 at "YUY2 1920x1080 (30fps)", offscreen.
//
// 1. Paint cost: a repaint of the preview (background, frame, marker; with or without profiles)
//    against the reference a user's own viewer would do: a widget of the same size that fills the
//    background and draws the same visible rectangle of the same image with QPainter::drawImage,
//    nearest neighbour. View ratios 10, 50, 100, 400 and 1000; three runs, the two sides
//    interleaved (their order swapped every run); the figure is the median time per paint and
//    the ratio preview / reference of the same run.
// 2. Hand-over latency: a thread publishes the processor's image 60 times per second through the
//    model (copy into the mailbox, merged Frame announcement) while each paint is slowed to 1/30 s.
//    For every frame that reaches the screen: the time from its publication to the start of the
//    paint that takes it, in frame intervals; the frames published and painted; the Frame events
//    the window received; the growth of the resident memory.

#include "GuardedApplication.h"
#include "MainModel.h"
#include "PreviewWindow.h"
#include "VistelCaptureApp.h"

#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Mfc/PropertyChangedEvent.h>

#include <QElapsedTimer>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <stdlib.h>

namespace
{

using Clock = std::chrono::steady_clock;
using VistelCapture::MainModel;
using VistelCapture::MainModelProperty;
using VistelCapture::PreviewWindow;

constexpr int viewWidth = 1280;
constexpr int viewHeight = 720;
constexpr int paintsPerSample = 60;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values.empty()
               ? 0
               : values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()))];
}

long ResidentKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("VmRSS:", 0) == 0)
        {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// The plain viewer: background and the visible part of the image, nothing else.
class ReferenceView final : public QWidget
{
public:
    QImage image;
    QRectF target;
    QRectF source;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), QColor(0, 128, 128));
        painter.drawImage(target, image, source);
    }
};

// The preview with each paint stretched to a given time, and a record of what each paint showed.
class SlowPreview final : public PreviewWindow
{
public:
    using PreviewWindow::PreviewWindow;

    std::chrono::microseconds paintTime{0};
    std::vector<double> takeLatencies; // publication -> start of the paint that shows it, in ms
    std::uint64_t lastSequence = 0;
    int framesShown = 0;
    int skipped = 0;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        const auto start = Clock::now();
        PreviewWindow::paintEvent(event);
        const auto sequence = GetPaintedSequence();
        if (sequence != lastSequence && lastSequence != 0)
        {
            ++framesShown;
            skipped += static_cast<int>(sequence - lastSequence - 1);
            takeLatencies.push_back(std::max(
                0.0, std::chrono::duration<double, std::milli>(start - GetPaintedPublicationTime()).count()));
        }
        lastSequence = sequence;
        std::this_thread::sleep_until(start + paintTime);
    }
};

class FrameEventCounter final : public QObject
{
public:
    int frames = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == Norvex::Mfc::PropertyChangedEvent::DefaultType() &&
            static_cast<Norvex::Mfc::PropertyChangedEvent*>(event)->GetProperty() ==
                static_cast<int>(MainModelProperty::Frame))
        {
            ++frames;
        }
        return false;
    }
};

void SelectFullHd(MainModel& model)
{
    const auto& formats = model.GetCurrentDevice().frameFormats;
    for (std::size_t i = 0; i < formats.size(); ++i)
    {
        if (formats[i]->width == 1920 && formats[i]->height == 1080)
        {
            model.SelectFrameFormat(static_cast<std::int32_t>(i));
            return;
        }
    }
    std::fprintf(stderr, "test camera 1 offers no 1920x1080 format\n");
    std::exit(1);
}

double TimePaints(QWidget& widget)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < paintsPerSample; ++i)
    {
        widget.repaint();
    }
    return static_cast<double>(timer.nsecsElapsed()) / 1e6 / paintsPerSample;
}

void PaintCost(MainModel& model, SlowPreview& preview)
{
    ReferenceView reference;
    reference.setAttribute(Qt::WA_OpaquePaintEvent); // it covers itself, like the preview
    reference.resize(preview.viewport()->size());
    reference.show();
    std::printf(
        "\nPaint time per frame, %dx%d view, 1920x1080 frame (median of %d paints per sample, 3 runs)\n",
        preview.viewport()->width(), preview.viewport()->height(), paintsPerSample);
    std::printf("%-6s %-9s %12s %12s %8s %8s %8s\n", "ratio", "profiles", "preview ms", "reference ms",
                "run 1", "run 2", "run 3");
    for (const int ratio : {10, 50, 100, 400, 1000})
    {
        for (const bool profiles : {false, true})
        {
            model.SetViewRatio(ratio);
            model.SetSetting(model.IsProfileVisible, profiles, MainModelProperty::IsProfileVisible);
            QCoreApplication::processEvents();
            preview.repaint();

            // The same visible rectangle the preview draws.
            const QImage& bitmap = preview.GetFrameBitmap();
            const auto placement = preview.ComputePlacement(bitmap.width(), bitmap.height());
            const double r = placement.ratio;
            const int x0 = std::clamp(static_cast<int>(std::floor(-placement.left / r)), 0, bitmap.width());
            const int y0 = std::clamp(static_cast<int>(std::floor(-placement.top / r)), 0, bitmap.height());
            const int x1 =
                std::clamp(static_cast<int>(std::ceil((preview.viewport()->width() - placement.left) / r)),
                           x0, bitmap.width());
            const int y1 =
                std::clamp(static_cast<int>(std::ceil((preview.viewport()->height() - placement.top) / r)),
                           y0, bitmap.height());
            reference.image = bitmap.copy();
            reference.source = QRectF(x0, y0, x1 - x0, y1 - y0);
            reference.target =
                QRectF(placement.left + x0 * r, placement.top + y0 * r, (x1 - x0) * r, (y1 - y0) * r);

            std::vector<double> previewTimes, referenceTimes, ratios;
            for (int run = 0; run < 3; ++run)
            {
                double previewTime = 0;
                double referenceTime = 0;
                if (run % 2 == 0)
                {
                    previewTime = TimePaints(*preview.viewport());
                    referenceTime = TimePaints(reference);
                }
                else
                {
                    referenceTime = TimePaints(reference);
                    previewTime = TimePaints(*preview.viewport());
                }
                previewTimes.push_back(previewTime);
                referenceTimes.push_back(referenceTime);
                ratios.push_back(previewTime / referenceTime);
            }
            std::printf("%-6d %-9s %12.3f %12.3f %8.2f %8.2f %8.2f\n", ratio, profiles ? "on" : "off",
                        Median(previewTimes), Median(referenceTimes), ratios[0], ratios[1], ratios[2]);
        }
    }
}

void HandOverLatency(MainModel& model, SlowPreview& preview, double seconds)
{
    model.SetViewRatio(100);
    model.SetSetting(model.IsProfileVisible, true, MainModelProperty::IsProfileVisible);
    QCoreApplication::processEvents();
    FrameEventCounter counter;
    preview.installEventFilter(&counter);
    preview.paintTime = std::chrono::microseconds(1000000 / 30);
    preview.takeLatencies.clear();
    preview.framesShown = 0;
    preview.skipped = 0;
    preview.lastSequence = 0;
    const long residentBefore = ResidentKilobytes();

    std::atomic<bool> running = true;
    std::atomic<int> published = 0;
    std::vector<double> publishTimes; // the producer's; read after it joined
    const auto interval = std::chrono::microseconds(1000000 / 60);
    std::thread producer(
        [&]
        {
            auto next = Clock::now();
            while (running)
            {
                const auto start = Clock::now();
                model.NotifyFrameChanged();
                publishTimes.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                ++published;
                next += interval;
                std::this_thread::sleep_until(next);
            }
        });
    QTimer::singleShot(static_cast<int>(seconds * 1000), [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    running = false;
    producer.join();
    QCoreApplication::processEvents();
    preview.removeEventFilter(&counter);
    const long residentAfter = ResidentKilobytes();

    const double frameMs = 1000.0 / 60;
    std::vector<double> inFrames;
    for (const double latency : preview.takeLatencies)
    {
        inFrames.push_back(latency / frameMs);
    }
    std::printf(
        "  published %d, painted %d (skipped %d), Frame events received %d, resident memory %+ld KiB\n",
        published.load(), preview.framesShown, preview.skipped, counter.frames,
        residentAfter - residentBefore);
    std::printf("  publishing one image (copy into the mailbox, merged announcement): median %.2f ms\n",
                Median(publishTimes));
    std::printf(
        "  publication -> paint that shows it, in frame intervals: median %.2f, 95th %.2f, max %.2f\n",
        Median(inFrames), Percentile(inFrames, 0.95), Percentile(inFrames, 1.0));
}

} // namespace

int main(int argc, char* argv[])
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    VistelCapture::GuardedApplication qtApplication(argc, argv);
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("norvex-preview-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    int exitCode = 0;
    {
        VistelCapture::VistelCaptureApp application;
        application.PrepareIniFile(Norvex::Core::ToWideString((folder / "VistelCapture").string()));
        MainModel model(1, true, true, Norvex::Core::ToWideString(folder.string()) + L"/", application);
        SelectFullHd(model);
        SlowPreview preview(model);
        preview.resize(viewWidth, viewHeight);
        preview.show();
        model.SetSetting(model.IsMarkerVisible, true, MainModelProperty::IsMarkerVisible);

        // One real frame from the camera.
        model.StartCapture();
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (preview.GetPaintedSequence() == 0 && Clock::now() < deadline)
        {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            preview.viewport()->repaint();
        }
        model.StopCapture();
        if (preview.GetPaintedSequence() == 0)
        {
            std::fprintf(stderr, "no frame from the test camera\n");
            exitCode = 1;
        }
        else
        {
            PaintCost(model, preview);
            std::printf("\nHand-over: 60 frames/s published, paints slowed to 30/s, 1920x1080, ratio 100, "
                        "profiles on (3 runs of 5 s)\n");
            for (int run = 1; run <= 3; ++run)
            {
                std::printf("run %d\n", run);
                HandOverLatency(model, preview, 5.0);
            }
        }
    }
    std::filesystem::remove_all(folder);
    return exitCode;
}
