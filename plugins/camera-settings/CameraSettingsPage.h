#pragma once

#include "../common/Reference.h"
#include "CameraSettingsProcessor.h"

#include <QWidget>

class QVBoxLayout;

namespace Vistel::CameraSettings
{

// The page of "カメラ設定": one row per control the device offers (name, slider, value, "自動"
// where the control has an automatic mode, and its range, step and default), and "既定値に戻す".
// A device without controls gets a plain message instead. Widgets are set only from what the
// device reports, with their signals blocked, so nothing echoes back into the device.
class CameraSettingsPage final : public QWidget
{
public:
    CameraSettingsPage(CameraSettingsProcessor& processor, QWidget* parent);

    // Lists the device's controls anew (another device, or controls that came or went).
    void Rebuild();
    // The processor was deselected: the page shows nothing of the device any more.
    void Detach();

private:
    Vistel::Plugins::Reference<CameraSettingsProcessor> processor;
    bool attached = true;
    QVBoxLayout* layout;
    QWidget* content = nullptr;
};

} // namespace Vistel::CameraSettings
