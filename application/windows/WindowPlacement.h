#pragma once

#include <QMargins>
#include <QRect>

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

    // The placement of a window as it stands now.
    static WindowPlacement Capture(const QWidget& window);
    // Applies a placement read from the file to a window not shown yet; does nothing when flags is
    // -1. A normal rectangle that lies on no screen is moved onto the primary screen. `frame` are
    // the margins the window system adds around the client area, as far as they are known.
    void Apply(QWidget& window, const QMargins& frame) const;

    QRect NormalFrame() const
    {
        return QRect(QPoint(normalLeft, normalTop), QPoint(normalRight - 1, normalBottom - 1));
    }
};

} // namespace VistelCapture
