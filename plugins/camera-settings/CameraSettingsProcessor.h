#pragma once

#include "../common/CameraControlTable.h"

#include <Vistel/Framework/ProcessorBase.h>

#include <QPointer>

#include <cstdint>
#include <string>
#include <vector>

namespace Vistel::CameraSettings
{

class CameraSettingsPage;

using ControlDescription = Vistel::Plugins::CameraControlDescription;
using ControlState = Vistel::Plugins::CameraControlState;

// "カメラ設定": frames pass unchanged; the page lists the current device's camera and picture
// controls and changes them live. Changes are kept per camera under its device path in the
// section "CameraSettings"; the host applies them whenever a camera starts, whichever processor
// is chosen (a V4L2 camera offers its controls only while it streams).
//
// User-interface thread only, like the controls themselves; Process is the default pass-through.
class CameraSettingsProcessor final : public Vistel::Framework::ProcessorBase
{
public:
    static const std::vector<ControlDescription>& Controls();

    Norvex::Core::HRESULT Initialize(Vistel::Framework::IHostServices* hostServices) override;
    Norvex::Core::HRESULT Finalize() override;
    Norvex::Core::HRESULT CreateControlPanel(QWidget* parent, QWidget** window) override;
    Norvex::Core::HRESULT OnHostStateChanged(std::int32_t code) override;

    // The controls the current device offers right now, in the order of Controls().
    std::vector<ControlState> ReadControls();
    // Sets a control (automatic mode when isAuto and the control has one) and stores the choice
    // for this camera. Returns the device's status.
    Norvex::Core::HRESULT SetControl(const ControlDescription& control, std::int32_t value, bool isAuto);
    // Every control back to its default value, automatic where the control has an automatic
    // mode, and nothing stored for this camera any more.
    void RestoreDefaults();
    // Whether the device streams (its controls may appear only then).
    bool IsDeviceRunning();

private:
    std::wstring StoreKey(const ControlDescription& control);

    QPointer<CameraSettingsPage> page; // the page made last, if it still exists
};

} // namespace Vistel::CameraSettings
