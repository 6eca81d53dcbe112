#pragma once

#include "RegionStatistics.h"

#include <QWidget>

namespace Vistel::PictureAids
{

// The four histograms of a region over one another: red, green, blue and luminance (grey), each
// scaled to its own highest bin.
class HistogramView final : public QWidget
{
public:
    explicit HistogramView(QWidget* parent);

    void SetStatistics(const RegionStatistics& statistics);
    QSize sizeHint() const override { return {256, 110}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    RegionStatistics statistics;
    bool valid = false;
};

} // namespace Vistel::PictureAids
