#include "ScoreGraph.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace Vistel::PictureAids
{

ScoreGraph::ScoreGraph(double seconds, QWidget* parent) : QWidget(parent), seconds(seconds)
{
    setMinimumHeight(80);
    setAccessibleName(QStringLiteral("鮮鋭度の推移"));
}

void ScoreGraph::SetHistory(std::vector<std::pair<double, double>> history, double highest)
{
    points = std::move(history);
    peak = highest;
    update();
}

void ScoreGraph::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRectF area = QRectF(rect()).adjusted(1, 1, -1, -1);
    painter.fillRect(rect(), palette().base());
    painter.setPen(palette().mid().color());
    painter.drawRect(area);
    if (points.empty() || peak <= 0.0)
    {
        return;
    }
    // The peak sits at 90 % of the height, so the curve near it stays visible.
    const double top = peak / 0.9;
    const auto toScreen = [&](double time, double score)
    {
        const double x = area.right() + time / seconds * area.width();
        const double y = area.bottom() - std::clamp(score / top, 0.0, 1.0) * area.height();
        return QPointF(x, y);
    };
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(QColor(230, 120, 0), 1, Qt::DashLine));
    const double peakY = toScreen(0.0, peak).y();
    painter.drawLine(QPointF(area.left(), peakY), QPointF(area.right(), peakY));
    QPainterPath path(toScreen(points.front().first, points.front().second));
    for (const auto& [time, score] : points)
    {
        path.lineTo(toScreen(time, score));
    }
    painter.setPen(QPen(palette().text().color(), 1.5));
    painter.drawPath(path);
}

} // namespace Vistel::PictureAids
