#include "HistogramView.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace Vistel::PictureAids
{

HistogramView::HistogramView(QWidget* parent) : QWidget(parent)
{
    setMinimumHeight(80);
    setAccessibleName(QStringLiteral("ヒストグラム"));
}

void HistogramView::SetStatistics(const RegionStatistics& values)
{
    statistics = values;
    valid = true;
    update();
}

void HistogramView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRectF area = QRectF(rect()).adjusted(1, 1, -1, -1);
    painter.fillRect(rect(), palette().base());
    painter.setPen(palette().mid().color());
    painter.drawRect(area);
    if (!valid)
    {
        return;
    }
    const QColor colors[] = {QColor(220, 40, 40), QColor(40, 170, 40), QColor(40, 80, 230),
                             QColor(110, 110, 110)};
    painter.setRenderHint(QPainter::Antialiasing, true);
    for (std::size_t channel = 0; channel < statistics.channels.size(); ++channel)
    {
        const auto& histogram = statistics.channels[channel].histogram;
        const std::uint32_t highest = *std::max_element(histogram.begin(), histogram.end());
        if (highest == 0)
        {
            continue;
        }
        QPainterPath path;
        for (int level = 0; level < 256; ++level)
        {
            const QPointF point(area.left() + (level + 0.5) * area.width() / 256.0,
                                area.bottom() - double(histogram[static_cast<std::size_t>(level)]) / highest *
                                                    area.height());
            level == 0 ? path.moveTo(point) : path.lineTo(point);
        }
        painter.setPen(QPen(colors[channel], 1.0));
        painter.drawPath(path);
    }
}

} // namespace Vistel::PictureAids
