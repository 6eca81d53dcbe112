#pragma once

#include <QRect>
#include <QSize>

#include <cstdint>

class QWidget;

namespace Norvex::Core
{
class ProfileFile;
}

namespace VistelCapture
{

// Where a top-level window stands, in the ten keys of section "MainWindow", and how those values
// map to a Qt window:
// - flags: 0, or 2 when a minimised window returns to maximised; only "not -1" makes the rest count;
// - show command: 1 normal, 2 minimised, 3 maximised (the values of the platform they come from);
// - minimised position: no window system tells it to a Qt program, always -1;
// - maximised position: the frame's top-left while maximised, else -1; never applied (the window
//   manager places a maximised window);
// - normal rectangle: the frame's normal geometry, right and bottom exclusive.
struct WindowPlacement
{
    std::int32_t flags = -1;
    std::int32_t showCommand = -1;
    std::int32_t minPositionX = -1;
    std::int32_t minPositionY = -1;
    std::int32_t maxPositionX = -1;
    std::int32_t maxPositionY = -1;
    std::int32_t normalLeft = -1;
    std::int32_t normalTop = -1;
    std::int32_t normalRight = -1;
    std::int32_t normalBottom = -1;

    static constexpr std::int32_t restoreToMaximized = 2;
    static constexpr std::int32_t showNormal = 1;
    static constexpr std::int32_t showMinimized = 2;
    static constexpr std::int32_t showMaximized = 3;

    // The ten keys in their order, -1 when missing.
    static WindowPlacement Read(Norvex::Core::ProfileFile& profile);
    // Writes the ten keys in their order; false at the first failed write, the rest unwritten.
    bool Write(Norvex::Core::ProfileFile& profile) const;

    // The placement of a window as it stands now: its normal geometry with the frame around it.
    static WindowPlacement Capture(const QWidget& window);

    // Whether the normal rectangle describes a window worth restoring: at least `minimum`, at most
    // the available desktop, and overlapping a screen.
    bool IsSensible(const QSize& minimum) const;

    // Applies a placement read from the file to a window whose native window does not exist yet,
    // so the position counts as the frame's; false, with nothing applied, when flags is -1 or the
    // rectangle is not sensible (the default placement then stays). The frame is not known before
    // the window manager has framed the window: until FitFrame, the client takes the whole size.
    bool Apply(QWidget& window) const;

    // Once the window system reports the frame around the shown window, gives the client the stored
    // size less the frame, so the frame ends up as large as it was stored. False while the frame
    // is unknown (or there is none); true once done.
    bool FitFrame(QWidget& window) const;

    // Takes the normal rectangle of another placement: for a window never shown in its normal
    // state, whose normal rectangle is still the stored one.
    void KeepNormalFrameOf(const WindowPlacement& stored);

private:
    QRect NormalFrame() const;
};

} // namespace VistelCapture
