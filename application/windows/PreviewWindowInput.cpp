// PreviewWindow's input: the mouse (the marker grabbed and dragged, the processor told of
// presses, moves and the pointer leaving) and the wheel's zoom.

#include "PreviewWindow.h"

#include "GuardedApplication.h"

#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace VistelCapture
{
namespace
{

using Vistel::Framework::IProcessor;
using Vistel::Framework::Point2F;

constexpr float markerGrabDistance = 20.0f;
constexpr int wheelNotch = 120;

std::uint32_t KeyStateFlags(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers)
{
    std::uint32_t flags = 0;
    flags |= buttons.testFlag(Qt::LeftButton) ? Vistel::Framework::MK_LBUTTON : 0;
    flags |= buttons.testFlag(Qt::RightButton) ? Vistel::Framework::MK_RBUTTON : 0;
    flags |= buttons.testFlag(Qt::MiddleButton) ? Vistel::Framework::MK_MBUTTON : 0;
    flags |= modifiers.testFlag(Qt::ShiftModifier) ? Vistel::Framework::MK_SHIFT : 0;
    flags |= modifiers.testFlag(Qt::ControlModifier) ? Vistel::Framework::MK_CONTROL : 0;
    return flags;
}

} // namespace

Point2F PreviewWindow::ToImagePoint(QPointF position) const
{
    const auto& format = model.GetCurrentFrameFormat();
    const Placement placement = ComputePlacement(format.width, format.height);
    const auto ratio = static_cast<float>(placement.ratio);
    return {(static_cast<float>(position.x()) - placement.left) / ratio,
            (static_cast<float>(position.y()) - placement.top) / ratio};
}

void PreviewWindow::SetCursorInImage(bool inside)
{
    model.SetSetting(model.IsCursorInImage, inside, MainModelProperty::IsCursorInImage);
}

void PreviewWindow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
    {
        GuardedApplication::Run([&] { OnPress(*event); });
    }
}

void PreviewWindow::OnPress(QMouseEvent& event)
{
    if (nearMarker)
    {
        if (!draggingMarker)
        {
            draggingMarker = true;
            viewport()->update();
        }
        return;
    }
    bool holdsPointer = false;
    const Point2F point = ToImagePoint(event.position());
    model.CallProcessor("OnLButtonDown",
                        [&](IProcessor& live) {
                            return live.OnLButtonDown(KeyStateFlags(event.buttons(), event.modifiers()),
                                                      &point, &holdsPointer);
                        });
    // While a button is down Qt sends every move to this window: the mouse is captured.
    if (holdsPointer)
    {
        processorHoldsPointer = true;
    }
    else if (!panning)
    {
        lastPointerPosition = event.position().toPoint();
        panning = true;
    }
}

void PreviewWindow::mouseMoveEvent(QMouseEvent* event)
{
    GuardedApplication::Run([&] { OnMove(*event); });
}

void PreviewWindow::OnMove(QMouseEvent& event)
{
    if (!trackingArmed)
    {
        trackingArmed = true;
        model.CallProcessor("OnMouseEnter", [](IProcessor& live) { return live.OnMouseEnter(); });
    }
    const QPoint position = event.position().toPoint();
    if (panning)
    {
        horizontalScrollBar()->setValue(horizontalScrollBar()->value() + lastPointerPosition.x() -
                                        position.x());
        verticalScrollBar()->setValue(verticalScrollBar()->value() + lastPointerPosition.y() - position.y());
        lastPointerPosition = position;
        viewport()->update();
        return;
    }
    const Point2F point = ToImagePoint(event.position());
    model.CallProcessor(
        "OnMouseMove", [&](IProcessor& live)
        { return live.OnMouseMove(KeyStateFlags(event.buttons(), event.modifiers()), &point); });
    const auto& format = model.GetCurrentFrameFormat();
    // Floor, not truncation: a point left of or above the image is outside it, not in column 0.
    const auto x = static_cast<std::int32_t>(std::floor(point.x));
    const auto y = static_cast<std::int32_t>(std::floor(point.y));
    const bool inside = x >= 0 && x < format.width && y >= 0 && y < format.height;
    SetCursorInImage(inside);
    if (inside)
    {
        model.SetCursorPosition({x, y});
    }
    if (draggingMarker)
    {
        // Clamped to the image, even with the pointer outside it.
        model.SetMarkerPosition({std::clamp(x, 0, std::max(format.width - 1, 0)),
                                 std::clamp(y, 0, std::max(format.height - 1, 0))});
    }
    else if (model.IsMarkerVisible)
    {
        const Placement placement = ComputePlacement(format.width, format.height);
        const auto marker = model.GetMarkerPosition();
        const auto markerX = static_cast<float>((marker.x + 0.5) * placement.ratio) + placement.left;
        const auto markerY = static_cast<float>((marker.y + 0.5) * placement.ratio) + placement.top;
        const bool near = std::hypot(static_cast<float>(event.position().x()) - markerX,
                                     static_cast<float>(event.position().y()) - markerY) < markerGrabDistance;
        if (near != nearMarker)
        {
            nearMarker = near;
            viewport()->update();
        }
    }
}

void PreviewWindow::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
    {
        GuardedApplication::Run([&] { OnRelease(*event); });
    }
}

void PreviewWindow::OnRelease(QMouseEvent& event)
{
    if (draggingMarker)
    {
        draggingMarker = false;
        viewport()->update();
        return;
    }
    const Point2F point = ToImagePoint(event.position());
    model.CallProcessor(
        "OnLButtonUp", [&](IProcessor& live)
        { return live.OnLButtonUp(KeyStateFlags(event.buttons(), event.modifiers()), &point); });
    if (processorHoldsPointer)
    {
        processorHoldsPointer = false;
    }
    else if (panning)
    {
        panning = false;
    }
}

void PreviewWindow::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
    {
        GuardedApplication::Run([&] { OnDoubleClick(); });
    }
}

void PreviewWindow::OnDoubleClick()
{
    if (nearMarker)
    {
        nearMarker = false;
        const auto& format = model.GetCurrentFrameFormat();
        model.SetMarkerPosition({format.width / 2, format.height / 2});
        viewport()->update();
    }
}

void PreviewWindow::OnLeave()
{
    if (nearMarker || draggingMarker)
    {
        viewport()->update();
    }
    nearMarker = false;
    draggingMarker = false;
    trackingArmed = false;
    SetCursorInImage(false);
    model.CallProcessor("OnMouseLeave", [](IProcessor& live) { return live.OnMouseLeave(); });
}

void PreviewWindow::wheelEvent(QWheelEvent* event)
{
    event->accept();
    GuardedApplication::Run([&] { OnWheel(*event); });
}

void PreviewWindow::OnWheel(QWheelEvent& event)
{
    const int delta = event.angleDelta().y();
    if (delta == 0)
    {
        return;
    }
    // A high-resolution wheel sends parts of a notch; they add up until the ratio moves, so slow
    // turns zoom too (at 10 % a single eighth of a notch would round back to 10 for ever).
    if ((pendingWheelDelta < 0) != (delta < 0))
    {
        pendingWheelDelta = 0;
    }
    pendingWheelDelta += delta;
    const std::int32_t current = model.ViewRatio;
    const double scaled = std::pow(1.1, static_cast<double>(pendingWheelDelta) / wheelNotch) * current;
    const auto next = MainModel::ClampViewRatio(static_cast<std::int32_t>(std::lround(scaled)));
    if (next != current)
    {
        pendingWheelDelta = 0;
        model.SetViewRatio(next);
    }
    else if (std::abs(pendingWheelDelta) >= wheelNotch)
    {
        pendingWheelDelta = 0; // a whole notch that cannot move the ratio (at a limit) is spent
    }
}

} // namespace VistelCapture
