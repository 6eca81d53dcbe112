// The shipped processors' Process on a 1920x1080 frame against the same work written the way a
// user's own OpenCV pipeline would write it, on the same frame in the same run, one thread each:
// - フォーカスピーキング: cvtColor to grey, Laplacian, convertScaleAbs, compare, copyTo, setTo
//   with the mask, meanStdDev of the Laplacian;
// - 領域統計 over the whole frame (its worst case): meanStdDev and minMaxLoc of each of blue,
//   green, red (after split) and of the grey picture, and calcHist of each of the four;
// - 露出警告 with both warnings: cvtColor, compare, countNonZero, bitwise_and with the stripe
//   pattern, copyTo and setTo, once for bright and once for dark pixels.
// Three runs; in each, rounds of a batch of processor frames and a batch of reference frames
// alternate, and the per-frame time of each side is the median over its rounds.
//
// With --cli PATH it then streams the test camera at 1920x1080 YUY2 30 fps through
// vistel-capture-cli with each processor and with "なし", interleaved, and compares frame rates.

#include "TestHostServices.h"

#include "ExposureWarningProcessor.h"
#include "FocusPeakingProcessor.h"
#include "RegionStatisticsProcessor.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
constexpr int width = 1920, height = 1080;
constexpr int runs = 3, rounds = 9, framesPerBatch = 10;

// Gradients, a checkerboard and fine grain, like a camera picture with detail and flat parts.
void Paint(VistelTest::TestHostServices::Image& image)
{
    image.Resize(width, height);
    std::uint32_t noise = 12345;
    for (int y = 0; y < height; ++y)
    {
        for (int x = 0; x < width; ++x)
        {
            noise = noise * 1103515245u + 12345u;
            const int grain = static_cast<int>((noise >> 16) & 15) - 8;
            auto& pixel = image.At(x, y);
            pixel.blue = static_cast<unsigned char>(std::clamp(x * 255 / width + grain, 0, 255));
            pixel.green = static_cast<unsigned char>(std::clamp(y * 255 / height + grain, 0, 255));
            pixel.red =
                static_cast<unsigned char>(std::clamp(((x / 40 + y / 40) % 2) * 215 + 40 + grain, 0, 255));
            pixel.alpha = 255;
        }
    }
}

cv::Mat MatOf(VistelTest::TestHostServices::Image& image)
{
    return cv::Mat(image.height, image.width, CV_8UC4, image.data, static_cast<std::size_t>(image.stride));
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Milliseconds per frame of one batch.
double Batch(const std::function<void()>& work)
{
    const auto start = Clock::now();
    for (int i = 0; i < framesPerBatch; ++i)
    {
        work();
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / framesPerBatch;
}

struct Case
{
    const char* name;
    std::function<void()> processor;
    std::function<void()> reference;
};

// The machine's load, printed with the figures: on a shared machine the times mean little alone.
void PrintLoad()
{
    if (FILE* file = std::fopen("/proc/loadavg", "r"))
    {
        char line[128] = {};
        if (std::fgets(line, sizeof line, file))
        {
            std::printf("load average: %s", line);
        }
        std::fclose(file);
    }
}

void RunProcessCases(std::vector<Case>& cases)
{
    PrintLoad();
    std::printf("Process per 1920x1080 frame, one thread; budget a third of 1/30 s = 11.1 ms\n");
    std::printf("%-22s %4s %12s %12s %8s\n", "processor", "run", "Process ms", "OpenCV ms", "ratio");
    for (auto& c : cases)
    {
        // Warm-up: buffers sized, pages touched, caches of both sides filled.
        Batch(c.processor);
        Batch(c.reference);
        std::vector<double> ratios;
        for (int run = 1; run <= runs; ++run)
        {
            std::vector<double> ours, theirs;
            for (int round = 0; round < rounds; ++round)
            {
                ours.push_back(Batch(c.processor));
                theirs.push_back(Batch(c.reference));
            }
            const double a = Median(ours), b = Median(theirs);
            ratios.push_back(a / b);
            std::printf("%-22s %4d %12.3f %12.3f %8.3f\n", c.name, run, a, b, a / b);
        }
        std::printf("%-22s  median ratio %.3f\n", c.name, Median(ratios));
    }
}

// Frames per second that `cli ... stream` reports, or 0.
double StreamRate(const std::string& cli, const std::string& processor, int seconds)
{
    const std::string command =
        "'" + cli + "' --api-family 1 --device 'Norvex Test Camera 1' --format 'YUY2 1920x1080 (30fps)'" +
        " --processor '" + processor + "' --quiet stream --seconds " + std::to_string(seconds) +
        " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
    {
        return 0;
    }
    char line[512];
    double fps = 0;
    while (std::fgets(line, sizeof line, pipe))
    {
        long long frames;
        double elapsed;
        if (std::sscanf(line, "%lld frames in %lf s (%lf fps)", &frames, &elapsed, &fps) == 3)
        {
            break;
        }
    }
    ::pclose(pipe);
    return fps;
}

void RunStreamCases(const std::string& cli)
{
    const char* processors[] = {"カメラ設定", "フォーカスピーキング", "領域統計", "露出警告"};
    constexpr int seconds = 4;
    std::printf(
        "\nvistel-capture-cli stream, test camera YUY2 1920x1080 30 fps, %d s each, interleaved with なし\n",
        seconds);
    PrintLoad();
    std::printf("%-22s %4s %10s %10s %8s\n", "processor", "run", "fps", "なし fps", "ratio");
    for (const char* processor : processors)
    {
        for (int run = 1; run <= runs; ++run)
        {
            const double ours = StreamRate(cli, processor, seconds);
            const double none = StreamRate(cli, "なし", seconds);
            std::printf("%-22s %4d %10.2f %10.2f %8.3f\n", processor, run, ours, none,
                        none > 0 ? ours / none : 0.0);
        }
    }
}

} // namespace

int main(int argc, char* argv[])
{
    std::string cli;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--cli") == 0 && i + 1 < argc)
        {
            cli = argv[++i];
        }
        else
        {
            std::fprintf(stderr, "usage: ProcessorBenchmark [--cli PATH]\n");
            return 2;
        }
    }
    cv::setNumThreads(1);

    VistelTest::TestHostServices host;
    Paint(host.sourceImage);
    const cv::Mat frame = MatOf(host.sourceImage);

    auto* peaking = new Vistel::PictureAids::FocusPeakingProcessor();
    auto* statistics = new Vistel::PictureAids::RegionStatisticsProcessor();
    auto* zebra = new Vistel::PictureAids::ExposureWarningProcessor();
    for (Vistel::Framework::IProcessor* processor : {static_cast<Vistel::Framework::IProcessor*>(peaking),
                                                     static_cast<Vistel::Framework::IProcessor*>(statistics),
                                                     static_cast<Vistel::Framework::IProcessor*>(zebra)})
    {
        processor->Initialize(&host);
    }
    zebra->SetSettings({250, true, 5});

    // The references' buffers live across frames, as a user's loop would keep them.
    cv::Mat grey, laplacian, magnitude, mask, output, stripes(height, width, CV_8UC1),
        darkStripes(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y)
    {
        for (int x = 0; x < width; ++x)
        {
            stripes.at<unsigned char>(y, x) = ((x + y) / 4) % 2 == 0 ? 255 : 0;
            darkStripes.at<unsigned char>(y, x) = ((width - 1 - x + y) / 4) % 2 == 0 ? 255 : 0;
        }
    }
    std::vector<cv::Mat> planes;
    cv::Mat histogram;
    volatile double sink = 0;

    std::vector<Case> cases;
    cases.push_back({"フォーカスピーキング", [&] { peaking->Process(); },
                     [&]
                     {
                         cv::cvtColor(frame, grey, cv::COLOR_BGRA2GRAY);
                         cv::Laplacian(grey, laplacian, CV_16S, 1);
                         cv::convertScaleAbs(laplacian, magnitude);
                         cv::compare(magnitude, 40, mask, cv::CMP_GT);
                         frame.copyTo(output);
                         output.setTo(cv::Scalar(0, 0, 255, 255), mask);
                         cv::Scalar mean, deviation;
                         cv::meanStdDev(laplacian, mean, deviation);
                         sink = sink + deviation[0];
                     }});
    cases.push_back({"領域統計", [&] { statistics->Process(); },
                     [&]
                     {
                         const int size = 256;
                         const float range[] = {0.0f, 256.0f};
                         const float* ranges = range;
                         const int first = 0;
                         cv::split(frame, planes);
                         cv::cvtColor(frame, grey, cv::COLOR_BGRA2GRAY);
                         planes[3] = grey;
                         for (const cv::Mat& plane : planes)
                         {
                             cv::Scalar mean, deviation;
                             double minimum, maximum;
                             cv::meanStdDev(plane, mean, deviation);
                             cv::minMaxLoc(plane, &minimum, &maximum);
                             cv::calcHist(&plane, 1, &first, cv::noArray(), histogram, 1, &size, &ranges);
                             sink = sink + mean[0] + deviation[0] + minimum + maximum;
                         }
                     }});
    cases.push_back({"露出警告", [&] { zebra->Process(); },
                     [&]
                     {
                         cv::cvtColor(frame, grey, cv::COLOR_BGRA2GRAY);
                         frame.copyTo(output);
                         cv::compare(grey, 250, mask, cv::CMP_GE);
                         sink = sink + cv::countNonZero(mask);
                         cv::bitwise_and(mask, stripes, mask);
                         output.setTo(cv::Scalar(0, 0, 0, 255), mask);
                         cv::compare(grey, 5, magnitude, cv::CMP_LE);
                         sink = sink + cv::countNonZero(magnitude);
                         cv::bitwise_and(magnitude, darkStripes, magnitude);
                         output.setTo(cv::Scalar(255, 255, 0, 255), magnitude);
                     }});
    RunProcessCases(cases);

    for (Vistel::Framework::IProcessor* processor : {static_cast<Vistel::Framework::IProcessor*>(peaking),
                                                     static_cast<Vistel::Framework::IProcessor*>(statistics),
                                                     static_cast<Vistel::Framework::IProcessor*>(zebra)})
    {
        processor->Finalize();
        processor->Release();
    }
    if (!cli.empty())
    {
        RunStreamCases(cli);
    }
    return 0;
}
