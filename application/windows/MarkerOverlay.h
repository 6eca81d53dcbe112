#pragma once

#include <QColor>
#include <QPainter>
#include <QPointF>
#include <QSize>

#include <cstdint>
#include <vector>

namespace VistelCapture
{

// What the preview draws of the marker: its cross lines with the grab highlight, and the colour
// profiles along them.
class MarkerOverlay
{
public:
    enum class Highlight
    {
        None,
        Near,     // the pointer can grab the marker: blue
        Dragging, // red
    };

    // The cross lines through centre, across an image of width x height, in the painter's
    // (image-placed) coordinates, with the highlight round the centre.
    static void DrawMarker(QPainter& painter, QPointF centre, float width, float height, const QColor& color,
                           Highlight highlight);

    // The horizontal profile standing on the view's bottom edge, the vertical one along its left
    // edge, one polyline per channel, values as heights in pixels, limited to what the view shows.
    // The profiles hold BGRA pixels read as numbers; ratio is view pixels per image pixel, left and
    // top where the image's corner lies in the view.
    static void DrawProfiles(QPainter& painter, const std::vector<std::uint32_t>& horizontal,
                             const std::vector<std::uint32_t>& vertical, double ratio, float left, float top,
                             QSize view);
};

} // namespace VistelCapture
