#pragma once

// What the frame-path benchmarks share: a model in a folder of its own with a listener that
// takes its announcements as the windows do, process CPU time per captured frame, and the
// interleaved rounds that give each side of a comparison the same machine load.

#include "MainModel.h"
#include "TemporaryFolder.h"
#include "VistelCaptureApp.h"

#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Mfc/PropertyChangedEvent.h>

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace VistelBench
{

inline double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Counts what the model announces, as a window would receive it.
class Listener final : public QObject
{
public:
    bool event(QEvent* event) override
    {
        if (event->type() != Norvex::Mfc::PropertyChangedEvent::DefaultType())
        {
            return QObject::event(event);
        }
        ++received;
        return true;
    }
    long long received = 0;
};

// A model of one capture family with its own INI file, listened to like the main window.
class ModelUnderTest
{
public:
    explicit ModelUnderTest(std::int32_t family)
    {
        application.PrepareIniFile(Norvex::Core::ToWideString(folder.Path().string()) + L"/VistelCapture");
        model = std::make_unique<VistelCapture::MainModel>(
            family, true, true, Norvex::Core::ToWideString(folder.Path().string()) + L"/", application);
        model->AddListener(&listener);
    }
    ~ModelUnderTest()
    {
        model->RemoveListener(&listener);
        model.reset();
    }

    VistelCapture::MainModel& operator*() { return *model; }
    VistelCapture::MainModel* operator->() { return model.get(); }

    // Streams until `frames` more frames have been captured after a few to settle, handling the
    // announcements meanwhile; returns process CPU seconds per frame.
    double Measure(int frames)
    {
        model->StartCapture();
        WaitForFrames(model->GetCapturedFrameCount() + 3);
        const long long first = model->GetCapturedFrameCount();
        const double start = ProcessCpuSeconds();
        WaitForFrames(first + frames);
        const double cpu = ProcessCpuSeconds() - start;
        const long long counted = model->GetCapturedFrameCount() - first;
        model->StopCapture();
        QCoreApplication::processEvents();
        return cpu / static_cast<double>(counted);
    }

private:
    void WaitForFrames(long long target)
    {
        // Sleeps in the event loop between events, as the window thread does: every frame posts
        // an announcement. The timer only keeps a lost wake-up from stalling the count.
        QTimer ticker;
        ticker.start(100);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (model->GetCapturedFrameCount() < target)
        {
            if (std::chrono::steady_clock::now() > deadline)
            {
                throw std::runtime_error("no frames from the camera");
            }
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }

    Norvex::Testing::TemporaryFolder folder;
    VistelCapture::VistelCaptureApp application;
    Listener listener;
    std::unique_ptr<VistelCapture::MainModel> model;
};

inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Side
{
    std::string name;
    std::function<double()> measure; // seconds per frame
};

// Three runs; in each, `rounds` rounds in which every side is measured once, the order turned
// round each round. Prints each run's medians and the ratios of every side to the first one
// (the reference); returns the ratios of the runs, [run][side].
inline std::vector<std::vector<double>> RunInterleaved(const std::vector<Side>& sides, int rounds = 5)
{
    std::vector<std::vector<double>> ratios;
    for (int run = 1; run <= 3; ++run)
    {
        std::vector<std::vector<double>> samples(sides.size());
        for (int round = 0; round < rounds; ++round)
        {
            for (std::size_t i = 0; i < sides.size(); ++i)
            {
                const std::size_t index = round % 2 == 0 ? i : sides.size() - 1 - i;
                samples[index].push_back(sides[index].measure());
            }
        }
        std::printf("run %d:", run);
        std::vector<double> medians;
        for (std::size_t i = 0; i < sides.size(); ++i)
        {
            medians.push_back(Median(samples[i]));
            std::printf("  %s %.3f ms", sides[i].name.c_str(), medians.back() * 1e3);
        }
        std::vector<double> runRatios;
        for (std::size_t i = 1; i < sides.size(); ++i)
        {
            runRatios.push_back(medians[i] / medians[0]);
            std::printf("  %s/%s %.3f", sides[i].name.c_str(), sides[0].name.c_str(), runRatios.back());
        }
        std::printf("\n");
        std::fflush(stdout);
        ratios.push_back(runRatios);
    }
    return ratios;
}

} // namespace VistelBench
