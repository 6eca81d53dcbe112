#pragma once

#include "PeakingFilter.h"
#include "RegionProcessor.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace Vistel::PictureAids
{

// "フォーカスピーキング": marks the pixels of high local contrast in a chosen colour and scores the
// sharpness of the whole frame, or of a rectangle dragged on the preview, on every frame. The
// page shows the score and its course over the last seconds, so the best focus stands out.
class FocusPeakingProcessor final : public RegionProcessor
{
public:
    static constexpr std::int32_t defaultThreshold = 40;
    static constexpr std::uint32_t defaultColor = 0x000000FF; // red, as 0x00BBGGRR
    // How far back the page's graph reaches.
    static constexpr std::chrono::seconds historyLength{10};

    struct Readout
    {
        bool valid = false; // a frame was scored
        double score = 0.0;
        double peak = 0.0; // the highest score within the history
        // Seconds before now (<= 0) and score, oldest first.
        std::vector<std::pair<double, double>> history;
        cv::Rect scored; // empty: the whole frame
    };

    FocusPeakingProcessor();

    Norvex::Core::HRESULT Initialize(Vistel::Framework::IHostServices* hostServices) override;
    Norvex::Core::HRESULT CreateControlPanel(QWidget* parent, QWidget** window) override;
    Norvex::Core::HRESULT Process() override;

    // For the page, on the user-interface thread. Setters store the setting in the INI file.
    std::int32_t GetThreshold() const;
    void SetThreshold(std::int32_t value);
    std::uint32_t GetColor() const;
    void SetColor(std::uint32_t value);
    // Any thread.
    Readout GetReadout() const;

private:
    PeakingFilter filter; // capture thread only

    mutable std::mutex stateMutex; // guards everything below; taken alone, briefly
    std::int32_t threshold = defaultThreshold;
    std::uint32_t color = defaultColor;
    std::deque<std::pair<std::chrono::steady_clock::time_point, double>> history;
};

} // namespace Vistel::PictureAids
