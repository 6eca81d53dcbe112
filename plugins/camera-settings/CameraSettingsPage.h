#pragma once

#include "../common/Reference.h"
#include "CameraSettingsProcessor.h"

#include <QWidget>

#include <vector>

class QCheckBox;
class QSlider;
class QSpinBox;
class QTimer;
class QVBoxLayout;

namespace Vistel::CameraSettings
{

// The page of "カメラ設定": one row per control the device offers (name, slider, value, "自動"
// where the control has an automatic mode, and its range, step and default), and "既定値に戻す".
// A device without controls gets a plain message instead. Widgets are set only from what the
// device reports, with their signals blocked, so nothing echoes back into the device. A value
// the camera's automatic mode drives (gain under automatic gain) is read again twice a second. A
// number box applies its value when Return is pressed or it loses the focus, not on every digit
// typed.
class CameraSettingsPage final : public QWidget
{
public:
    CameraSettingsPage(CameraSettingsProcessor& processor, QWidget* parent);

    // Lists the device's controls anew (another device, or controls that came or went).
    void Rebuild();
    // The processor was deselected: the page shows nothing of the device any more.
    void Detach();

private:
    // The widgets of one control's row.
    struct Row
    {
        const ControlDescription* control;
        QSlider* slider;
        QSpinBox* valueBox;
        QCheckBox* autoBox; // null without an automatic mode
    };

    static void Show(const Row& row, const ControlState& state);
    // Shows the values of the rows in automatic mode as the device reports them now.
    void ShowAutomaticValues();

    Vistel::Plugins::Reference<CameraSettingsProcessor> processor;
    bool attached = true;
    QVBoxLayout* layout;
    QWidget* content = nullptr;
    std::vector<Row> rows; // of `content`
    QTimer* automaticValues;
};

} // namespace Vistel::CameraSettings
