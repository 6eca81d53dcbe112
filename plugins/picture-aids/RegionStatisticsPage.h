#pragma once

#include "../common/Reference.h"
#include "RegionStatisticsProcessor.h"

#include <QWidget>

#include <array>

class QLabel;

namespace Vistel::PictureAids
{

class HistogramView;

// The page of "領域統計": the rectangle, a table of mean, standard deviation, minimum and maximum
// for red, green, blue and luminance, and their histograms, read ten times a second. Holds a
// reference to the processor, so it may outlive the selection.
class RegionStatisticsPage final : public QWidget
{
public:
    RegionStatisticsPage(RegionStatisticsProcessor& processor, QWidget* parent);

    // Reads the latest results now (the timer does it by itself).
    void Refresh();

    // The table's cell of a channel (RegionStatistics::Channel) and a column: 0 mean,
    // 1 standard deviation, 2 minimum, 3 maximum.
    QLabel* Cell(int channel, int column) const;

private:
    Vistel::Plugins::Reference<RegionStatisticsProcessor> processor;
    QLabel* regionValue;
    std::array<std::array<QLabel*, 4>, RegionStatistics::ChannelCount> cells{};
    HistogramView* histogram;
};

} // namespace Vistel::PictureAids
