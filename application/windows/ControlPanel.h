#pragma once

#include "DialogUnits.h"
#include "ManualCheck.h"

#include <Norvex/Mfc/SliderControl.h>

#include <QCheckBox>
#include <QPushButton>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>

class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QSpinBox;

namespace VistelCapture
{

class ColorButton;
class MainModel;

// The capture-settings page of the side pane: device and format, view ratio, marker, saving,
// status bar and focus. Every control writes into the model and is set only from the model's
// notifications, so it shows the model's state whoever changed it; setting a control from a
// notification never writes back. Snapshot and recording errors are shown in the "エラー" box and
// the panel stays usable; other failures (device or format switches) leave the handler for the
// application's top-level handler.
//
// Thread: user-interface thread only.
class ControlPanel final : public QWidget
{
    Q_OBJECT

public:
    using PreviewSizeFunction = std::function<QSize()>;

    // Registers with the model; the model then posts its whole state, which fills the controls.
    explicit ControlPanel(MainModel& model, QWidget* parent = nullptr);
    ~ControlPanel() override;

    // Where "全体" reads the preview's drawing area (logical pixels); without it the area is
    // 0 x 0 and the fit gives the smallest ratio.
    void SetPreviewSize(PreviewSizeFunction function) { previewSize = std::move(function); }

    // The page's size in pixels with its template font: what the side pane is as wide as.
    static QSize TemplateSize();

    // The reaction to one model notification; event() calls it for posted ones.
    void OnMainModelPropertyChanged(int property);

    // The still-image filters in the bar-separated form, by file format.
    static QString SaveFilter(std::int32_t fileFormat);
    static QString DefaultSuffix(std::int32_t fileFormat);

protected:
    bool event(QEvent* event) override;

private:
    void CreateControls();
    void ConnectControls();
    void Place(QWidget* widget, int x, int y, int width, int height) const;

    void OnSliderScrolled(const Norvex::Mfc::SliderControl* slider, int position);
    void FitToPreview();
    void Snapshot();
    void ToggleRecording();
    void StepFocus(int steps);
    void ShowFailure(const std::function<void()>& action);

    void UpdateEnabling();
    void UpdateFocusSteps();
    // Enables the file formats that keep the camera's compression while its format has it.
    void OfferCameraFormats();
    void UpdateFocusVisibility();

    // Members in the order of the template's controls.
    DialogUnits units;
    QGroupBox* deviceGroup = nullptr;
    QLabel* deviceLabel = nullptr;
    QComboBox* deviceCombo = nullptr;
    QLabel* formatLabel = nullptr;
    QComboBox* formatCombo = nullptr;
    QGroupBox* ratioGroup = nullptr;
    QSpinBox* ratioEdit = nullptr; // the edit with its up-down
    QLabel* percentLabel = nullptr;
    Norvex::Mfc::SliderControl* ratioSlider = nullptr;
    QPushButton* actualSizeButton = nullptr;
    QPushButton* fitButton = nullptr;
    QGroupBox* markerGroup = nullptr;
    ManualCheck<QCheckBox>* markerCheck = nullptr;
    QLabel* markerXLabel = nullptr;
    QSpinBox* markerXEdit = nullptr;
    QLabel* markerYLabel = nullptr;
    QSpinBox* markerYEdit = nullptr;
    QLabel* colorLabel = nullptr;
    ColorButton* colorButton = nullptr;
    ManualCheck<QCheckBox>* profileCheck = nullptr;
    QGroupBox* saveGroup = nullptr;
    QLabel* saveTargetLabel = nullptr;
    QComboBox* saveTargetCombo = nullptr;
    QLabel* fileFormatLabel = nullptr;
    QComboBox* fileFormatCombo = nullptr;
    QLabel* intervalLabel = nullptr;
    QDoubleSpinBox* intervalEdit = nullptr; // seconds; the model keeps milliseconds
    QLabel* intervalUnitLabel = nullptr;
    QLabel* bitRateLabel = nullptr;
    QSpinBox* bitRateEdit = nullptr;
    QLabel* bitRateUnitLabel = nullptr;
    Norvex::Mfc::SliderControl* bitRateSlider = nullptr;
    QPushButton* snapButton = nullptr;
    ManualCheck<QPushButton>* recordButton = nullptr;
    ManualCheck<QCheckBox>* statusBarCheck = nullptr;
    QGroupBox* focusGroup = nullptr;
    ManualCheck<QCheckBox>* focusAutoCheck = nullptr;
    Norvex::Mfc::SliderControl* focusSlider = nullptr;
    std::array<QPushButton*, 4> focusStepButtons{}; // "<<", "<", ">", ">>"

    PreviewSizeFunction previewSize;
    MainModel& model;
};

} // namespace VistelCapture
