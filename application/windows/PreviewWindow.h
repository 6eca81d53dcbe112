#pragma once

#include "LatestImageMailbox.h"
#include "MainModel.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QImage>
#include <QPointF>
#include <QRegion>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

namespace VistelCapture
{

// The live image: the processor's picture at the view ratio, centred, with scroll bars when it is
// larger than the view, the processor's overlay, the cross-line marker with its grab highlight,
// the colour profiles along the marker lines and, in debug mode, the last capture error. Mouse
// input moves the marker, pans the view, zooms (wheel), feeds the cursor read-out and goes to the
// processor.
//
// Coordinates are Qt's logical pixels. Scroll positions run below 0: position 0 centres the image.
// Frames are not copied per announcement: painting takes the newest image the model published
// (LatestImageMailbox), so a slow paint skips frames instead of falling behind. Where that image
// is the device's frame itself, the paint draws it from the device under its frame lock, so the
// frame is never copied for the preview. A paint fills only the background around the image and
// draws only the exposed part of it; the pixels are opaque, so drawing them is a plain copy. A new
// frame exposes only what it changes: the image and the profiles (the whole view under a
// processor's overlay, which may draw anywhere). Before the first frame of a size the placeholder
// picture is drawn stretched over the image, so no frame-sized black copy is kept.
//
// A failed processor status raises Norvex::Core::Exception (with the processor function's name);
// each handler hands it to GuardedApplication's top-level handler where the handler returns.
//
// Thread: user-interface thread only.
class PreviewWindow : public QAbstractScrollArea
{
    Q_OBJECT

public:
    // Registers with the model (the whole state arrives as property-changed events) and becomes
    // the target of the processor's repaint requests. The model must outlive the window.
    explicit PreviewWindow(MainModel& model, QWidget* parent = nullptr);
    ~PreviewWindow() override;

    // Where the image lies in the view, as painting and the mouse handlers compute it.
    struct Placement
    {
        double ratio = 1.0;
        float scaledWidth = 0;
        float scaledHeight = 0;
        float left = 0;
        float top = 0;
    };
    Placement ComputePlacement(std::int32_t width, std::int32_t height) const;

    // A copy of what painting draws of the frame (null until a frame format is known).
    QImage GetFrameBitmap() const;
    // The frame painted last: its publication number (0: none yet) and time.
    std::uint64_t GetPaintedSequence() const noexcept { return frameBuffer.sequence; }
    LatestImageMailbox::Clock::time_point GetPaintedPublicationTime() const noexcept
    {
        return frameBuffer.published;
    }
    bool IsNearMarker() const noexcept { return nearMarker; }
    bool IsDraggingMarker() const noexcept { return draggingMarker; }
    bool IsPanning() const noexcept { return panning; }

protected:
    bool event(QEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    void OnMainModelPropertyChanged(MainModelProperty property);
    void OnFrameFormatChanged();
    void CreateFrameBitmap(std::int32_t width, std::int32_t height);
    static const QImage& Placeholder(); // the picture shown before the first frame, stretched
    void TakeNewestFrame();
    QRegion FrameRegion() const; // what a new frame repaints: the background around the image stays
    void UpdateScrollBars();
    void Paint(const QRect& exposed);
    void DrawProfiles(QPainter& painter, const Placement& placement);
    void OnPress(QMouseEvent& event);
    void OnMove(QMouseEvent& event);
    void OnRelease(QMouseEvent& event);
    void OnDoubleClick();
    void OnLeave();
    void OnWheel(QWheelEvent& event);
    Vistel::Framework::Point2F ToImagePoint(QPointF position) const;
    void SetCursorInImage(bool inside);

    MainModel& model;

    LatestImageMailbox::Buffer frameBuffer; // the frame bitmap's pixels, unless the device's frame
    QImage frameBitmap; // wraps frameBuffer without a copy; null for the device's frame or before a frame
    QSize frameSize;    // the frame format's size; empty until one is known

    QColor markerColor = Qt::black; // until the first MarkerColor announcement
    QString debugMessage;
    int messageTimer = 0;

    // The processor whose OnRecreated2dResources was called last, and for which pixel ratio.
    const Vistel::Framework::IProcessor* resourcesProcessor = nullptr;
    qreal resourcesPixelRatio = 0;

    bool trackingArmed = false;
    bool nearMarker = false;
    bool draggingMarker = false;
    bool processorHoldsPointer = false;
    bool panning = false;
    QPoint lastPointerPosition;
    int pendingWheelDelta = 0; // high-resolution wheel steps too small to change the ratio yet

    // Set by a processor's repaint request (any thread) until the window handles it, so requests
    // before the next paint merge into one posted event.
    std::atomic<bool> invalidationPending = false;
};

} // namespace VistelCapture
