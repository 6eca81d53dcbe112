#include "MarkerOverlay.h"

#include <QPen>
#include <QRadialGradient>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <utility>

namespace VistelCapture
{
namespace
{

constexpr float highlightRadius = 25.0f;

QGradientStops HighlightStops(const QColor& inner)
{
    // Qt interpolates gradient stops on the stored (gamma-encoded) values, which is what a 2.2
    // gamma interpolation means, so the four stops need no extra ones.
    QColor transparentInner = inner;
    transparentInner.setAlphaF(0);
    QColor halfInner = inner;
    halfInner.setAlphaF(0.5);
    return {{0.0, transparentInner},
            {0.7, halfInner},
            {0.8, QColor::fromRgbF(1, 1, 0, 0.5)},
            {1.0, QColor::fromRgbF(1, 1, 0, 0)}};
}

} // namespace

void MarkerOverlay::DrawMarker(QPainter& painter, QPointF centre, float width, float height,
                               const QColor& color, Highlight highlight)
{
    painter.setPen(QPen(color, 1));
    painter.drawLine(QPointF(centre.x(), 0), QPointF(centre.x(), height));
    painter.drawLine(QPointF(0, centre.y()), QPointF(width, centre.y()));
    if (highlight != Highlight::None)
    {
        QRadialGradient gradient(centre, highlightRadius);
        gradient.setSpread(QGradient::PadSpread);
        gradient.setStops(
            HighlightStops(highlight == Highlight::Dragging ? QColor(255, 0, 0) : QColor(0, 0, 255)));
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setPen(Qt::NoPen);
        painter.setBrush(gradient);
        painter.drawEllipse(centre, highlightRadius, highlightRadius);
        painter.setRenderHint(QPainter::Antialiasing, false);
    }
}

void MarkerOverlay::DrawProfiles(QPainter& painter, const std::vector<std::uint32_t>& horizontal,
                                 const std::vector<std::uint32_t>& vertical, double ratio, float left,
                                 float top, QSize view)
{
    const auto viewWidth = static_cast<double>(view.width());
    const auto viewHeight = static_cast<double>(view.height());
    QPen profilePens[] = {QPen(QColor(255, 0, 0), 1), QPen(QColor(0, 255, 0), 1), QPen(QColor(0, 0, 255), 1)};
    const int shifts[] = {16, 8, 0}; // red, green, blue bytes of a BGRA pixel read as a number

    // Each channel is one polyline through the points of the profile (a segment per neighbour
    // pair), limited to the entries the view shows; channel values are heights in pixels.
    const auto visibleRange = [&](std::size_t count, double offset, double extent)
    {
        const double first = std::floor((-offset) / ratio - 1.5);
        const double last = std::ceil((extent - offset) / ratio + 0.5);
        const auto begin = static_cast<std::size_t>(std::clamp(first, 0.0, static_cast<double>(count)));
        const auto end = static_cast<std::size_t>(std::clamp(last + 1, 0.0, static_cast<double>(count)));
        return std::pair{begin, std::max(begin, end)};
    };
    // Below 100 % several entries share one view pixel along the profile: of each such run only
    // the first, lowest, highest and last value are kept, which covers the same pixels.
    std::vector<QPointF> points;
    const auto collect = [&](const std::vector<std::uint32_t>& profile, std::size_t begin, std::size_t end,
                             int shift, bool alongX)
    {
        points.clear();
        const auto add = [&](double along, int value)
        {
            // The horizontal profile stands on the bottom edge: the flip of y is done here rather
            // than by the painter, whose fast thin-line path takes translations only.
            points.push_back(alongX ? QPointF(along, viewHeight - value) : QPointF(value, along));
        };
        for (std::size_t i = begin; i < end;)
        {
            const auto position = static_cast<float>((static_cast<double>(i) + 0.5) * ratio);
            const double pixel = std::floor(position);
            const int first = static_cast<int>((profile[i] >> shift) & 0xFF);
            int lowest = first;
            int highest = first;
            int last = first;
            std::size_t j = i + 1;
            for (; ratio < 1.0 && j < end &&
                   std::floor(static_cast<float>((static_cast<double>(j) + 0.5) * ratio)) == pixel;
                 ++j)
            {
                last = static_cast<int>((profile[j] >> shift) & 0xFF);
                lowest = std::min(lowest, last);
                highest = std::max(highest, last);
            }
            add(position, first);
            if (lowest < std::min(first, last))
            {
                add(position, lowest);
            }
            if (highest > std::max(first, last))
            {
                add(position, highest);
            }
            if (j > i + 1)
            {
                add(position, last);
            }
            i = j;
        }
    };
    if (horizontal.size() >= 2)
    {
        // y counts upward from the bottom edge of the view.
        painter.setTransform(QTransform::fromTranslate(left, 0));
        const auto [begin, end] = visibleRange(horizontal.size(), left, viewWidth);
        for (int channel = 0; channel < 3 && end - begin >= 2; ++channel)
        {
            collect(horizontal, begin, end, shifts[channel], true);
            painter.setPen(profilePens[channel]);
            painter.drawPolyline(points.data(), static_cast<int>(points.size()));
        }
    }
    if (vertical.size() >= 2)
    {
        painter.setTransform(QTransform::fromTranslate(0, top));
        const auto [begin, end] = visibleRange(vertical.size(), top, viewHeight);
        for (int channel = 0; channel < 3 && end - begin >= 2; ++channel)
        {
            collect(vertical, begin, end, shifts[channel], false);
            painter.setPen(profilePens[channel]);
            painter.drawPolyline(points.data(), static_cast<int>(points.size()));
        }
    }
}

} // namespace VistelCapture
