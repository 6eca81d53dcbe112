#pragma once

#include <Vistel/Framework/IHostServices.h>
#include <Vistel/Framework/Point2F.h>

#include <opencv2/core.hpp>

#include <string>

class QPainter;

namespace Vistel::PictureAids
{

// A rectangle the user drags on the preview with the left button, in image pixels, kept per frame
// size under "Region<width>x<height>" in the processor's INI section. A press outside the
// rectangle starts a new one from that pixel (a click alone selects that one pixel); a press
// inside moves it. The rectangle never leaves the frame.
//
// User-interface thread only (the processor hands copies of Rectangle() to its capture thread).
class RegionSelection
{
public:
    explicit RegionSelection(std::wstring section);

    // Takes the rectangle stored for this frame size, clipped to it; none when nothing fits.
    void Load(Vistel::Framework::IHostServices* host, cv::Size frameSize);
    cv::Size FrameSize() const noexcept { return frameSize; }
    // Empty when none is chosen.
    cv::Rect Rectangle() const noexcept { return rectangle; }
    bool IsDragging() const noexcept { return dragging; }

    // Whether the pointer is claimed: always, unless the frame size is unknown.
    bool Press(const Vistel::Framework::Point2F& point);
    // True when the rectangle changed.
    bool Move(const Vistel::Framework::Point2F& point);
    // Ends a drag and stores the rectangle.
    bool Release(Vistel::Framework::IHostServices* host, const Vistel::Framework::Point2F& point);
    // Back to no rectangle, stored as such.
    void Clear(Vistel::Framework::IHostServices* host);

    // The outline on the border pixels of the rectangle and its size in image pixels; the painter's
    // origin is the image's corner and image coordinates are multiplied by scale.
    void Draw(QPainter& painter, double scale) const;

private:
    cv::Point PixelAt(const Vistel::Framework::Point2F& point) const;
    void Store(Vistel::Framework::IHostServices* host) const;
    std::wstring Key() const;

    const std::wstring section;
    cv::Size frameSize;
    cv::Rect rectangle;
    bool dragging = false;
    bool moving = false;
    cv::Point anchor;     // the pixel the new rectangle started from
    cv::Point grabOffset; // pointer minus the rectangle's corner while moving
};

} // namespace Vistel::PictureAids
