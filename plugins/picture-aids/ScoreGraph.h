#pragma once

#include <QWidget>

#include <utility>
#include <vector>

namespace Vistel::PictureAids
{

// The course of the sharpness score over the last seconds, newest on the right, with the highest
// score drawn as a line across, so that the focus position of the maximum is easy to find again.
class ScoreGraph final : public QWidget
{
public:
    ScoreGraph(double seconds, QWidget* parent);

    // Seconds before now (<= 0) and score, oldest first.
    void SetHistory(std::vector<std::pair<double, double>> points, double peak);
    QSize sizeHint() const override { return {240, 100}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const double seconds;
    std::vector<std::pair<double, double>> points;
    double peak = 0.0;
};

} // namespace Vistel::PictureAids
