#include "WindowPlacement.h"

#include <Norvex/Core/ProfileFile.h>

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <array>

namespace VistelCapture
{
namespace
{

constexpr const wchar_t* section = L"MainWindow";

// The keys in the order they are read and written, with the field each holds.
constexpr std::array<std::pair<const wchar_t*, std::int32_t WindowPlacement::*>, 10> keys = {{
    {L"WindowPlacementFlags", &WindowPlacement::flags},
    {L"WindowPlacementShowCmd", &WindowPlacement::showCommand},
    {L"WindowPlacementMinPositionX", &WindowPlacement::minPositionX},
    {L"WindowPlacementMinPositionY", &WindowPlacement::minPositionY},
    {L"WindowPlacementMaxPositionX", &WindowPlacement::maxPositionX},
    {L"WindowPlacementMaxPositionY", &WindowPlacement::maxPositionY},
    {L"WindowPlacementNormalPositionLeft", &WindowPlacement::normalLeft},
    {L"WindowPlacementNormalPositionTop", &WindowPlacement::normalTop},
    {L"WindowPlacementNormalPositionRight", &WindowPlacement::normalRight},
    {L"WindowPlacementNormalPositionBottom", &WindowPlacement::normalBottom},
}};

QMargins FrameMargins(const QWidget& window)
{
    const QRect client = window.geometry();
    const QRect frame = window.frameGeometry();
    return {client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
            frame.bottom() - client.bottom()};
}

bool OverlapsAScreen(const QRect& rectangle)
{
    const auto screens = QGuiApplication::screens();
    return std::any_of(screens.begin(), screens.end(),
                       [&](const QScreen* screen) { return screen->geometry().intersects(rectangle); });
}

} // namespace

WindowPlacement WindowPlacement::Read(Norvex::Core::ProfileFile& profile)
{
    WindowPlacement placement;
    for (const auto& [key, field] : keys)
    {
        placement.*field = profile.GetProfileInt(section, key, -1);
    }
    return placement;
}

bool WindowPlacement::Write(Norvex::Core::ProfileFile& profile) const
{
    for (const auto& [key, field] : keys)
    {
        if (!profile.WriteProfileInt(section, key, this->*field))
        {
            return false;
        }
    }
    return true;
}

WindowPlacement WindowPlacement::Capture(const QWidget& window)
{
    const Qt::WindowStates state = window.windowState();
    const bool minimized = state.testFlag(Qt::WindowMinimized);
    const bool maximized = state.testFlag(Qt::WindowMaximized) || state.testFlag(Qt::WindowFullScreen);

    WindowPlacement placement;
    placement.flags = minimized && maximized ? restoreToMaximized : 0;
    placement.showCommand = minimized ? showMinimized : maximized ? showMaximized : showNormal;
    if (maximized && !minimized)
    {
        placement.maxPositionX = window.frameGeometry().left();
        placement.maxPositionY = window.frameGeometry().top();
    }
    // A window never shown has no normal geometry of its own yet.
    const QRect client = window.normalGeometry().isEmpty() ? window.geometry() : window.normalGeometry();
    const QRect normal = client.marginsAdded(FrameMargins(window));
    placement.normalLeft = normal.left();
    placement.normalTop = normal.top();
    placement.normalRight = normal.left() + normal.width();
    placement.normalBottom = normal.top() + normal.height();
    return placement;
}

QRect WindowPlacement::NormalFrame() const
{
    return QRect(normalLeft, normalTop, normalRight - normalLeft, normalBottom - normalTop);
}

bool WindowPlacement::IsSensible(const QSize& minimum) const
{
    // In 64 bits: the stored corners may be anything, INT_MIN and INT_MAX included.
    const std::int64_t width = std::int64_t(normalRight) - normalLeft;
    const std::int64_t height = std::int64_t(normalBottom) - normalTop;
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary || width < std::max(minimum.width(), 1) || height < std::max(minimum.height(), 1))
    {
        return false;
    }
    const QSize desktop = primary->availableVirtualGeometry().size();
    return width <= desktop.width() && height <= desktop.height() && OverlapsAScreen(NormalFrame());
}

bool WindowPlacement::Apply(QWidget& window) const
{
    if (flags == -1 || !IsSensible(window.minimumSize()))
    {
        return false;
    }
    // Before the native window exists, a top-level widget's position is its frame's.
    const QRect normal = NormalFrame();
    window.resize(normal.size());
    window.move(normal.topLeft());

    Qt::WindowStates state = Qt::WindowNoState;
    switch (showCommand)
    {
    case showMinimized:
    case 6: // minimise
    case 7: // show minimised without activating
        state = Qt::WindowMinimized;
        if (flags & restoreToMaximized)
        {
            state |= Qt::WindowMaximized;
        }
        break;
    case showMaximized:
        state = Qt::WindowMaximized;
        break;
    default:
        break;
    }
    window.setWindowState(state);
    return true;
}

void WindowPlacement::KeepNormalFrameOf(const WindowPlacement& stored)
{
    normalLeft = stored.normalLeft;
    normalTop = stored.normalTop;
    normalRight = stored.normalRight;
    normalBottom = stored.normalBottom;
}

bool WindowPlacement::FitFrame(QWidget& window) const
{
    const QWindow* handle = window.windowHandle();
    if (!handle || !window.isVisible() || window.windowState() != Qt::WindowNoState)
    {
        return false;
    }
    const QMargins frame = FrameMargins(window);
    if (frame.isNull())
    {
        return false;
    }
    window.resize(NormalFrame().size().shrunkBy(frame));
    return true;
}

} // namespace VistelCapture
