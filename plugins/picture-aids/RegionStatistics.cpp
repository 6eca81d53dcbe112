#include "RegionStatistics.h"

#include <algorithm>
#include <cmath>

namespace Vistel::PictureAids
{
namespace
{

void Summarise(const std::array<std::uint32_t, 256>& histogram, ChannelStatistics& channel)
{
    double count = 0.0;
    double sum = 0.0;
    double squares = 0.0;
    channel = ChannelStatistics{};
    channel.histogram = histogram;
    channel.minimum = -1;
    for (int level = 0; level < 256; ++level)
    {
        const std::uint32_t n = histogram[static_cast<std::size_t>(level)];
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
    // One pass over the pixels fills all four histograms. OpenCV needs a calcHist per channel
    // plus a grey picture, five passes in all; this loop measured about 1.4x faster than that
    // (bench/processors compares the whole Process with the OpenCV way).
    std::fill(counts.begin(), counts.end(), std::array<std::uint32_t, 256>{});
    auto& red = counts[RegionStatistics::Red];
    auto& green = counts[RegionStatistics::Green];
    auto& blue = counts[RegionStatistics::Blue];
    auto& luminance = counts[RegionStatistics::Luminance];
    for (int y = 0; y < region.rows; ++y)
    {
        const unsigned char* pixel = region.ptr<unsigned char>(y);
        for (int x = 0; x < region.cols; ++x, pixel += 4)
        {
            const unsigned b = pixel[0];
            const unsigned g = pixel[1];
            const unsigned r = pixel[2];
            ++blue[b];
            ++green[g];
            ++red[r];
            // OpenCV's grey: BT.601 weights in 15-bit fixed point, rounded.
            ++luminance[(r * 9798u + g * 19235u + b * 3735u + (1u << 14)) >> 15];
        }
    }
    statistics.pixelCount = static_cast<std::int64_t>(region.total());
    for (std::size_t channel = 0; channel < counts.size(); ++channel)
    {
        Summarise(counts[channel], statistics.channels[channel]);
    }
}

} // namespace Vistel::PictureAids
