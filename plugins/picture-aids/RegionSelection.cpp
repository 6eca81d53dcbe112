#include "RegionSelection.h"

#include <QPainter>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace Vistel::PictureAids
{

RegionSelection::RegionSelection(std::wstring section) : section(std::move(section)) {}

std::wstring RegionSelection::Key() const
{
    return L"Region" + std::to_wstring(frameSize.width) + L"x" + std::to_wstring(frameSize.height);
}

void RegionSelection::Load(Vistel::Framework::IHostServices* host, cv::Size size)
{
    dragging = moving = false;
    frameSize = size;
    rectangle = {};
    if (!host || size.width <= 0 || size.height <= 0)
    {
        return;
    }
    const std::wstring stored = host->GetProfileString(section, Key(), L"");
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    if (std::swscanf(stored.c_str(), L"%d,%d,%d,%d", &x, &y, &width, &height) == 4 && width > 0 && height > 0)
    {
        // A hand-edited or stale value may reach outside the frame: only what lies inside stays.
        rectangle = cv::Rect(x, y, width, height) & cv::Rect(0, 0, size.width, size.height);
    }
}

void RegionSelection::Store(Vistel::Framework::IHostServices* host) const
{
    if (!host || frameSize.empty())
    {
        return;
    }
    const std::wstring value =
        rectangle.empty() ? std::wstring()
                          : std::to_wstring(rectangle.x) + L"," + std::to_wstring(rectangle.y) + L"," +
                                std::to_wstring(rectangle.width) + L"," + std::to_wstring(rectangle.height);
    host->WriteProfileString(section, Key(), value);
}

cv::Point RegionSelection::PixelAt(const Vistel::Framework::Point2F& point) const
{
    // The pointer may leave the picture while the button is held: the rectangle stops at its edge.
    const auto clamp = [](float value, int size)
    {
        const double pixel = std::floor(std::isfinite(value) ? value : 0.0f);
        return static_cast<int>(std::clamp(pixel, 0.0, static_cast<double>(size - 1)));
    };
    return {clamp(point.x, frameSize.width), clamp(point.y, frameSize.height)};
}

bool RegionSelection::Press(const Vistel::Framework::Point2F& point)
{
    if (frameSize.width <= 0 || frameSize.height <= 0)
    {
        return false;
    }
    const cv::Point pixel = PixelAt(point);
    dragging = true;
    if (rectangle.contains(pixel) && rectangle.area() > 1)
    {
        moving = true;
        grabOffset = pixel - rectangle.tl();
        return true;
    }
    moving = false;
    anchor = pixel;
    rectangle = cv::Rect(pixel.x, pixel.y, 1, 1);
    return true;
}

bool RegionSelection::Move(const Vistel::Framework::Point2F& point)
{
    if (!dragging)
    {
        return false;
    }
    const cv::Point pixel = PixelAt(point);
    cv::Rect next;
    if (moving)
    {
        const int x = std::clamp(pixel.x - grabOffset.x, 0, frameSize.width - rectangle.width);
        const int y = std::clamp(pixel.y - grabOffset.y, 0, frameSize.height - rectangle.height);
        next = cv::Rect(x, y, rectangle.width, rectangle.height);
    }
    else
    {
        // Either corner may lead: a drag towards the top-left spans the same pixels.
        next = cv::Rect(cv::Point(std::min(anchor.x, pixel.x), std::min(anchor.y, pixel.y)),
                        cv::Point(std::max(anchor.x, pixel.x) + 1, std::max(anchor.y, pixel.y) + 1));
    }
    if (next == rectangle)
    {
        return false;
    }
    rectangle = next;
    return true;
}

bool RegionSelection::Release(Vistel::Framework::IHostServices* host, const Vistel::Framework::Point2F& point)
{
    if (!dragging)
    {
        return false;
    }
    const bool changed = Move(point);
    dragging = moving = false;
    Store(host);
    return changed;
}

void RegionSelection::Clear(Vistel::Framework::IHostServices* host)
{
    dragging = moving = false;
    rectangle = {};
    Store(host);
}

void RegionSelection::Draw(QPainter& painter, double scale) const
{
    if (rectangle.empty())
    {
        return;
    }
    const auto screen = [scale](int value)
    {
        return static_cast<int>(std::lround(value * scale));
    };
    const int left = screen(rectangle.x);
    const int top = screen(rectangle.y);
    const int right = std::max(left, screen(rectangle.x + rectangle.width) - 1);
    const int bottom = std::max(top, screen(rectangle.y + rectangle.height) - 1);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(QColor(255, 255, 0), 0));
    painter.drawLine(left, top, right, top);
    painter.drawLine(left, bottom, right, bottom);
    painter.drawLine(left, top, left, bottom);
    painter.drawLine(right, top, right, bottom);

    const QString size = QStringLiteral("%1 x %2").arg(rectangle.width).arg(rectangle.height);
    const int textHeight = painter.fontMetrics().height();
    // Above the rectangle, or inside it when the rectangle touches the top of the picture.
    const int baseline = top >= textHeight ? top - painter.fontMetrics().descent() - 1
                                           : top + painter.fontMetrics().ascent() + 1;
    painter.drawText(left + 1, baseline, size);
    painter.restore();
}

} // namespace Vistel::PictureAids
