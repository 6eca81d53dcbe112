#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>

namespace Vistel::PictureAids
{

// Statistics of one channel of a region: from its 256-bin histogram, so one pass over the pixels
// gives all of them exactly.
struct ChannelStatistics
{
    double mean = 0.0;
    double standardDeviation = 0.0; // of the population
    int minimum = 0;
    int maximum = 0;
    std::array<std::uint32_t, 256> histogram{};
};

struct RegionStatistics
{
    enum Channel
    {
        Red,
        Green,
        Blue,
        Luminance, // ITU-R BT.601, as OpenCV's grey
        ChannelCount,
    };
    std::array<ChannelStatistics, ChannelCount> channels;
    std::int64_t pixelCount = 0;
};

// Keeps its working buffer between frames; one thread at a time.
class RegionStatisticsCalculator
{
public:
    // region: a BGRA part of a frame.
    void Compute(const cv::Mat& region, RegionStatistics& statistics);

private:
    std::array<std::array<std::uint32_t, 256>, RegionStatistics::ChannelCount> counts{};
};

} // namespace Vistel::PictureAids
