#include "WindowPlacement.h"

#include <Norvex/Core/ProfileFile.h>

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>

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

bool LiesOnAScreen(const QRect& rectangle)
{
    for (const QScreen* screen : QGuiApplication::screens())
    {
        if (screen->geometry().intersects(rectangle))
        {
            return true;
        }
    }
    return false;
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
    const QRect normal = window.normalGeometry().marginsAdded(FrameMargins(window));
    placement.normalLeft = normal.left();
    placement.normalTop = normal.top();
    placement.normalRight = normal.left() + normal.width();
    placement.normalBottom = normal.top() + normal.height();
    return placement;
}

void WindowPlacement::Apply(QWidget& window, const QMargins& frame) const
{
    if (flags == -1)
    {
        return;
    }
    QRect normal = NormalFrame();
    if (!LiesOnAScreen(normal))
    {
        // A monitor that was unplugged: open on the primary screen rather than out of sight.
        if (const QScreen* primary = QGuiApplication::primaryScreen())
        {
            normal.moveTopLeft(primary->availableGeometry().topLeft());
        }
    }
    // A top-level widget's position is its frame's; its size is the client's.
    window.resize(normal.size().shrunkBy(frame));
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
}

} // namespace VistelCapture
