#pragma once

#include "PictureAidProcessor.h"
#include "ZebraFilter.h"

#include <mutex>

namespace Vistel::PictureAids
{

// "露出警告": zebra stripes over the pixels at or above a chosen level, and optionally over those
// at or below a dark level; the page shows both levels and the share of pixels beyond them.
class ExposureWarningProcessor final : public PictureAidProcessor
{
public:
    static constexpr std::int32_t defaultHighLevel = 250;
    static constexpr std::int32_t defaultDarkLevel = 5;

    struct Settings
    {
        std::int32_t highLevel = defaultHighLevel;
        bool darkWarning = false;
        std::int32_t darkLevel = defaultDarkLevel;
    };
    struct Readout
    {
        bool valid = false;
        double brightShare = 0.0; // 0..1 of the frame's pixels
        double darkShare = 0.0;   // 0 while the dark warning is off
    };

    ExposureWarningProcessor();

    Norvex::Core::HRESULT Initialize(Vistel::Framework::IHostServices* hostServices) override;
    Norvex::Core::HRESULT CreateControlPanel(QWidget* parent, QWidget** window) override;
    Norvex::Core::HRESULT Process() override;

    // For the page, on the user-interface thread; the setter stores what changed in the INI file.
    Settings GetSettings() const;
    void SetSettings(const Settings& settings);
    // Any thread.
    Readout GetReadout() const;

private:
    ZebraFilter filter; // capture thread only

    mutable std::mutex stateMutex; // guards everything below; taken alone, briefly
    Settings settings;
    Readout latest;
};

} // namespace Vistel::PictureAids
