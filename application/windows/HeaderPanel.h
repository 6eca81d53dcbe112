#pragma once

#include "DialogUnits.h"
#include "ManualCheck.h"

#include <QPushButton>
#include <QWidget>

namespace VistelCapture
{

class MainModel;

// The strip of two tab-like buttons at the top of the side pane: "取り込み設定" and the active
// processor's name. The pressed one is the model's ControlPanelPage; a click on the other switches
// it, a click on the pressed one changes nothing.
//
// Thread: user-interface thread only.
class HeaderPanel final : public QWidget
{
    Q_OBJECT

public:
    // Created hidden; registers with the model.
    explicit HeaderPanel(MainModel& model, QWidget* parent = nullptr);
    ~HeaderPanel() override;

    void OnMainModelPropertyChanged(int property);

    QPushButton* GetCaptureSettingsButton() const noexcept { return captureSettingsButton; }
    QPushButton* GetProcessorButton() const noexcept { return processorButton; }

protected:
    bool event(QEvent* event) override;

private:
    void SelectPage(std::int32_t page);

    DialogUnits units;
    ManualCheck<QPushButton>* captureSettingsButton = nullptr;
    ManualCheck<QPushButton>* processorButton = nullptr;
    MainModel& model;
};

} // namespace VistelCapture
