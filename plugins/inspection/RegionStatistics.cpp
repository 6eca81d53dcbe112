#include "RegionStatistics.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace Vistel::Inspection
{
namespace
{

void Summarise(const cv::Mat& histogram, ChannelStatistics& channel)
{
    double count = 0.0;
    double sum = 0.0;
    double squares = 0.0;
    channel.minimum = -1;
    for (int level = 0; level < 256; ++level)
    {
        const auto n = static_cast<std::uint32_t>(histogram.at<float>(level));
        channel.histogram[static_cast<std::size_t>(level)] = n;
        if (n == 0)
        {
            continue;
        }
        if (channel.minimum < 0)
        {
            channel.minimum = level;
        }
        channel.maximum = level;
        count += n;
        sum += double(n) * level;
        squares += double(n) * level * level;
    }
    if (count == 0.0)
    {
        channel = ChannelStatistics{};
        return;
    }
    channel.mean = sum / count;
    channel.standardDeviation = std::sqrt(std::max(0.0, squares / count - channel.mean * channel.mean));
}

} // namespace

void RegionStatisticsCalculator::Compute(const cv::Mat& region, RegionStatistics& statistics)
{
    statistics.pixelCount = static_cast<std::int64_t>(region.total());
    const int size = 256;
    const float range[] = {0.0f, 256.0f};
    const float* ranges = range;
    // Blue, green and red straight from the BGRA picture, no split.
    constexpr int sourceChannel[] = {2, 1, 0};
    for (int channel = RegionStatistics::Red; channel <= RegionStatistics::Blue; ++channel)
    {
        cv::calcHist(&region, 1, &sourceChannel[channel], cv::noArray(), histogram, 1, &size, &ranges);
        Summarise(histogram, statistics.channels[static_cast<std::size_t>(channel)]);
    }
    cv::cvtColor(region, grey, cv::COLOR_BGRA2GRAY);
    const int first = 0;
    cv::calcHist(&grey, 1, &first, cv::noArray(), histogram, 1, &size, &ranges);
    Summarise(histogram, statistics.channels[RegionStatistics::Luminance]);
}

} // namespace Vistel::Inspection
