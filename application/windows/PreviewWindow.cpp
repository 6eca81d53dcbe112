#include "PreviewWindow.h"

#include "GuardedApplication.h"
#include "MarkerOverlay.h"
#include "QtText.h"
#include "VistelCaptureApp.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Mfc/PropertyChangedEvent.h>

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextOption>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <vector>

// Outside any namespace, as Qt requires: the resources of a static library must be registered.
static void InitializePreviewResources()
{
    Q_INIT_RESOURCE(preview);
}

namespace VistelCapture
{
namespace
{

using Vistel::Framework::IProcessor;
using Vistel::Framework::Point2F;

const QColor backgroundColor(0, 128, 128);

QEvent::Type InvalidateEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// One scroll bar: none when the view holds the scaled image; else a page of half the view and
// positions from about -d/2 (the image's near edge at the view's) to about +d/2, 0 centred.
void UpdateScrollBar(QScrollBar& bar, float scaled, int view)
{
    if (static_cast<float>(view) >= scaled)
    {
        bar.setRange(0, 0);
        bar.setPageStep(0);
        return;
    }
    const float excess = scaled - static_cast<float>(view);
    const int page = static_cast<int>(static_cast<float>(view) * 0.5f);
    const int minimum = -static_cast<int>(excess * 0.5f);
    const int limit = static_cast<int>(std::ceil(excess)) + minimum;
    bar.setPageStep(page);
    bar.setRange(minimum, limit); // keeps the position within the range
}

} // namespace

PreviewWindow::PreviewWindow(MainModel& model, QWidget* parent) : QAbstractScrollArea(parent), model(model)
{
    InitializePreviewResources();
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    horizontalScrollBar()->setSingleStep(1);
    verticalScrollBar()->setSingleStep(1);
    viewport()->setMouseTracking(true);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent); // every paint covers the whole view
    model.SetPreviewInvalidator(
        [this]
        {
            if (!invalidationPending.exchange(true))
            {
                QCoreApplication::postEvent(this, new QEvent(InvalidateEventType()));
            }
        });
    model.AddListener(this);
}

PreviewWindow::~PreviewWindow()
{
    model.SetPreviewInvalidator({});
    model.RemoveListener(this);
}

PreviewWindow::Placement PreviewWindow::ComputePlacement(std::int32_t width, std::int32_t height) const
{
    Placement placement;
    placement.ratio = model.ViewRatio / 100.0;
    placement.scaledWidth = static_cast<float>(width * placement.ratio);
    placement.scaledHeight = static_cast<float>(height * placement.ratio);
    const auto viewWidth = static_cast<float>(viewport()->width());
    const auto viewHeight = static_cast<float>(viewport()->height());
    placement.left = (viewWidth - placement.scaledWidth) * 0.5f;
    placement.top = (viewHeight - placement.scaledHeight) * 0.5f;
    if (placement.scaledWidth > viewWidth)
    {
        placement.left -= static_cast<float>(horizontalScrollBar()->value());
    }
    if (placement.scaledHeight > viewHeight)
    {
        placement.top -= static_cast<float>(verticalScrollBar()->value());
    }
    return placement;
}

bool PreviewWindow::event(QEvent* event)
{
    if (event->type() == Norvex::Mfc::PropertyChangedEvent::DefaultType())
    {
        const auto* changed = static_cast<Norvex::Mfc::PropertyChangedEvent*>(event);
        if (changed->GetSource() == &model)
        {
            GuardedApplication::Run(
                [&] { OnMainModelPropertyChanged(static_cast<MainModelProperty>(changed->GetProperty())); });
        }
        return true;
    }
    if (event->type() == InvalidateEventType())
    {
        invalidationPending = false;
        viewport()->update();
        return true;
    }
    return QAbstractScrollArea::event(event);
}

bool PreviewWindow::viewportEvent(QEvent* event)
{
    if (event->type() == QEvent::Leave)
    {
        GuardedApplication::Run([&] { OnLeave(); });
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void PreviewWindow::OnMainModelPropertyChanged(MainModelProperty property)
{
    switch (property)
    {
    case MainModelProperty::CurrentFrameFormat:
        OnFrameFormatChanged();
        break;
    case MainModelProperty::Frame:
        // The newest image is taken when painting: however many frames arrive before the paint,
        // one is copied and shown.
        viewport()->update(FrameRegion());
        break;
    case MainModelProperty::DebugMessage:
        if (model.GetApplication().IsDebugMessageEnabled)
        {
            if (messageTimer != 0)
            {
                killTimer(messageTimer);
            }
            debugMessage = ToQString(model.GetDebugMessage());
            messageTimer = startTimer(1000);
            viewport()->update();
        }
        break;
    case MainModelProperty::DeviceList:
        viewport()->update(); // the line shown without a camera comes or goes
        break;
    case MainModelProperty::Processor:
        resourcesProcessor = nullptr; // the new processor gets its resources call at its first paint
        viewport()->update();
        break;
    case MainModelProperty::ViewRatio:
        UpdateScrollBars();
        break;
    case MainModelProperty::IsMarkerVisible:
    case MainModelProperty::MarkerPosition:
    case MainModelProperty::IsProfileVisible:
    case MainModelProperty::Profile:
        viewport()->update();
        break;
    case MainModelProperty::MarkerColor:
        markerColor = QColor(static_cast<int>(model.MarkerColor & 0xFF),
                             static_cast<int>((model.MarkerColor >> 8) & 0xFF),
                             static_cast<int>((model.MarkerColor >> 16) & 0xFF));
        viewport()->update();
        break;
    default:
        break;
    }
}

void PreviewWindow::OnFrameFormatChanged()
{
    const auto& format = model.GetCurrentFrameFormat();
    if (frameSize != QSize(format.width, format.height))
    {
        CreateFrameBitmap(format.width, format.height);
    }
    UpdateScrollBars();
}

void PreviewWindow::CreateFrameBitmap(std::int32_t width, std::int32_t height)
{
    frameBitmap = QImage();
    frameSize = QSize();
    // The old size's pixels go: the mailbox sizes the buffers it gets back itself, and until the
    // first frame of the new size the placeholder is drawn stretched, so no frame-sized black copy
    // is held.
    frameBuffer = LatestImageMailbox::Buffer();
    if (width <= 0 || height <= 0)
    {
        return;
    }
    frameSize = QSize(width, height);
}

const QImage& PreviewWindow::Placeholder()
{
    // Opaque, so drawn as RGB32 like the frames: a copy, no blending.
    static const QImage picture = QImage(QStringLiteral(":/DATA/130")).convertToFormat(QImage::Format_RGB32);
    return picture;
}

void PreviewWindow::TakeNewestFrame()
{
    if (frameSize.isEmpty())
    {
        return;
    }
    const int width = frameSize.width();
    const int height = frameSize.height();
    // The bitmap wraps the pixels the swap hands back to the model: it is remade below.
    frameBitmap = QImage();
    const bool taken = model.TakeShownImage(frameBuffer);
    if (taken && (frameBuffer.width != width || frameBuffer.height != height))
    {
        // Published before the format changed: the bitmap stays black until a frame of its size.
        CreateFrameBitmap(width, height);
        return;
    }
    if (!frameBuffer.deviceFrame && frameBuffer.sequence != 0)
    {
        frameBitmap = QImage(reinterpret_cast<uchar*>(frameBuffer.pixels.data()), width, height, width * 4,
                             QImage::Format_RGB32);
    }
}

QImage PreviewWindow::GetFrameBitmap() const
{
    if (frameSize.isEmpty())
    {
        return {};
    }
    if (!frameBuffer.deviceFrame)
    {
        return frameBitmap.isNull() ? Placeholder().scaled(frameSize) : frameBitmap.copy();
    }
    const auto frame = model.LockCurrentFrame();
    if (QSize(frame->width, frame->height) != frameSize)
    {
        return Placeholder().scaled(frameSize);
    }
    return QImage(reinterpret_cast<const uchar*>(frame->data), frame->width, frame->height, frame->stride,
                  QImage::Format_RGB32)
        .copy();
}

QRegion PreviewWindow::FrameRegion() const
{
    const QRect view = viewport()->rect();
    // A processor's overlay may draw anywhere in the view; only "なし" draws none.
    if (frameSize.isEmpty() || (model.GetProcessorIndex() != 0 && model.GetCurrentProcessor()))
    {
        return view;
    }
    const Placement placement = ComputePlacement(frameSize.width(), frameSize.height());
    const int left = static_cast<int>(std::floor(placement.left));
    const int top = static_cast<int>(std::floor(placement.top));
    QRegion region(QRect(left, top,
                         static_cast<int>(std::ceil(placement.left + placement.scaledWidth)) - left,
                         static_cast<int>(std::ceil(placement.top + placement.scaledHeight)) - top)
                       .intersected(view));
    if (model.IsMarkerVisible && model.IsProfileVisible)
    {
        // The profiles stand on the view's bottom and left edges, a channel value high.
        constexpr int profileExtent = 256;
        region += QRect(0, view.height() - profileExtent, view.width(), profileExtent).intersected(view);
        region += QRect(0, 0, profileExtent, view.height()).intersected(view);
    }
    return region;
}

void PreviewWindow::UpdateScrollBars()
{
    const auto& format = model.GetCurrentFrameFormat();
    const Placement placement = ComputePlacement(format.width, format.height);
    UpdateScrollBar(*horizontalScrollBar(), placement.scaledWidth, viewport()->width());
    UpdateScrollBar(*verticalScrollBar(), placement.scaledHeight, viewport()->height());
    viewport()->update();
}

void PreviewWindow::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    GuardedApplication::Run([&] { UpdateScrollBars(); });
}

void PreviewWindow::scrollContentsBy(int, int)
{
    viewport()->update();
}

void PreviewWindow::paintEvent(QPaintEvent* event)
{
    GuardedApplication::Run([&] { Paint(event->rect()); });
}

void PreviewWindow::Paint(const QRect& exposed)
{
    TakeNewestFrame();
    QPainter painter(viewport());
    auto* processor = model.GetCurrentProcessor();
    const qreal pixelRatio = viewport()->devicePixelRatioF();
    if (processor && (processor != resourcesProcessor || pixelRatio != resourcesPixelRatio))
    {
        // Qt has no device loss: a processor's resources depend only on the pixel ratio. A processor
        // selected later gets the call too, at its first paint, so it never paints without them.
        resourcesProcessor = processor;
        resourcesPixelRatio = pixelRatio;
        model.CallProcessor("OnRecreated2dResources",
                            [&](IProcessor& live) { return live.OnRecreated2dResources(&painter); });
    }

    const QRectF view(viewport()->rect());
    if (frameSize.isEmpty())
    {
        painter.fillRect(exposed, backgroundColor);
    }
    else
    {
        const int width = frameSize.width();
        const int height = frameSize.height();
        const Placement placement = ComputePlacement(width, height);
        const double ratio = placement.ratio;
        // The background only where the image does not cover the exposed part (whole view pixels
        // inside the image's edges, so no seam of background shows through).
        const QRect covered(static_cast<int>(std::ceil(placement.left)),
                            static_cast<int>(std::ceil(placement.top)),
                            static_cast<int>(std::floor(placement.left + placement.scaledWidth)) -
                                static_cast<int>(std::ceil(placement.left)),
                            static_cast<int>(std::floor(placement.top + placement.scaledHeight)) -
                                static_cast<int>(std::ceil(placement.top)));
        for (const QRect& part : QRegion(exposed).subtracted(QRegion(covered)))
        {
            painter.fillRect(part, backgroundColor);
        }
        painter.translate(placement.left, placement.top);

        // Only the source pixels of the exposed part: at high zoom a small part of the frame.
        const int x0 =
            std::clamp(static_cast<int>(std::floor((exposed.left() - placement.left) / ratio)), 0, width);
        const int y0 =
            std::clamp(static_cast<int>(std::floor((exposed.top() - placement.top) / ratio)), 0, height);
        const int x1 = std::clamp(
            static_cast<int>(std::ceil((exposed.left() + exposed.width() - placement.left) / ratio)), x0,
            width);
        const int y1 = std::clamp(
            static_cast<int>(std::ceil((exposed.top() + exposed.height() - placement.top) / ratio)), y0,
            height);
        if (x1 > x0 && y1 > y0)
        {
            // Nearest neighbour: magnified pixels stay sharp squares.
            painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
            const QRectF target(x0 * ratio, y0 * ratio, (x1 - x0) * ratio, (y1 - y0) * ratio);
            const QRectF source(x0, y0, x1 - x0, y1 - y0);
            bool drawn = false;
            if (frameBuffer.deviceFrame)
            {
                // Held only while the pixels are drawn; the capture thread waits at most that long
                // to publish its next frame.
                const auto frame = model.LockCurrentFrame();
                if (frame->width == width && frame->height == height && frame->data)
                {
                    painter.drawImage(target,
                                      QImage(reinterpret_cast<const uchar*>(frame->data), width, height,
                                             frame->stride, QImage::Format_RGB32),
                                      source);
                    drawn = true;
                }
            }
            else if (!frameBitmap.isNull())
            {
                painter.drawImage(target, frameBitmap, source);
                drawn = true;
            }
            if (!drawn)
            {
                // No picture of the format's size yet (clipped to the exposed part by the painter).
                painter.drawImage(QRectF(0, 0, width * ratio, height * ratio), Placeholder());
            }
        }

        // A processor that fails here is the model's to report; the picture is painted all the same.
        painter.save();
        model.CallProcessor("OnDraw2d", [&](IProcessor& live) { return live.OnDraw2d(&painter, ratio); });
        painter.restore();

        if (model.IsMarkerVisible)
        {
            if (model.IsProfileVisible)
            {
                painter.save();
                painter.resetTransform();
                DrawProfiles(painter, placement);
                painter.restore();
            }
            const auto marker = model.GetMarkerPosition();
            const auto mx = static_cast<float>((marker.x + 0.5) * ratio);
            const auto my = static_cast<float>((marker.y + 0.5) * ratio);
            MarkerOverlay::DrawMarker(painter, QPointF(mx, my), placement.scaledWidth, placement.scaledHeight,
                                      markerColor,
                                      !nearMarker      ? MarkerOverlay::Highlight::None
                                      : draggingMarker ? MarkerOverlay::Highlight::Dragging
                                                       : MarkerOverlay::Highlight::Near);
        }
        painter.resetTransform();
    }

    if (const auto& absence = model.GetAbsenceText(); !absence.empty())
    {
        // No camera to show: the line says why, and that one plugged in will appear.
        QFont font = painter.font();
        font.setPixelSize(16);
        painter.setFont(font);
        painter.setPen(Qt::white);
        QTextOption option(Qt::AlignCenter);
        option.setWrapMode(QTextOption::WordWrap);
        painter.drawText(view.adjusted(24, 24, -24, -24), ToQString(absence), option);
    }

    if (model.GetApplication().IsDebugMessageEnabled && !debugMessage.isEmpty())
    {
        QFont font(QStringLiteral("MS ゴシック"));
        font.setPixelSize(16);
        font.setWeight(QFont::Normal);
        painter.setFont(font);
        painter.setPen(QColor(255, 0, 0));
        QTextOption option(Qt::AlignLeft | Qt::AlignTop);
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        painter.drawText(view, debugMessage, option);
    }
}

void PreviewWindow::DrawProfiles(QPainter& painter, const Placement& placement)
{
    std::vector<std::uint32_t> horizontal;
    std::vector<std::uint32_t> vertical;
    model.GetProfiles(horizontal, vertical);
    MarkerOverlay::DrawProfiles(painter, horizontal, vertical, placement.ratio, placement.left, placement.top,
                                viewport()->size());
}

void PreviewWindow::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != messageTimer)
    {
        QAbstractScrollArea::timerEvent(event);
        return;
    }
    killTimer(messageTimer);
    messageTimer = 0;
    debugMessage.clear();
    viewport()->update();
}

} // namespace VistelCapture
