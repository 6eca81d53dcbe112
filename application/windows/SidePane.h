#pragma once

#include "ControlPanel.h"

#include <QPointer>
#include <QWidget>

namespace VistelCapture
{

class HeaderPanel;
class MainModel;

// The column of settings beside the preview: the capture settings (ControlPanel) and, when the
// active processor offers one, the processor's own page, switched by the header strip shown only
// while such a page exists. The pane is as wide as the control panel's template; only its height
// follows the window.
//
// The processor's page belongs to the processor: the pane holds it in a QPointer, so a page its
// plug-in destroyed is never touched, and drops it when the processor changes.
//
// Thread: user-interface thread only.
class SidePane final : public QWidget
{
    Q_OBJECT

public:
    // Builds the header and the control panel on the same model and registers with it.
    explicit SidePane(MainModel& model, QWidget* parent = nullptr);
    ~SidePane() override;

    // Where "全体" reads the preview's drawing area in logical pixels (the main window wires it).
    void SetPreviewSize(ControlPanel::PreviewSizeFunction function);

    // The pane's fixed width: the control panel's template width in pixels.
    static int PaneWidth() { return ControlPanel::TemplateSize().width(); }

    // Raises Norvex::Core::Exception ("OnMainModelPropertyChanged") when the processor fails to
    // create its page; posted notifications carry it out of event() to the application's handler.
    void OnMainModelPropertyChanged(int property);

    HeaderPanel* GetHeaderPanel() const noexcept { return header; }
    ControlPanel* GetControlPanel() const noexcept { return controlPanel; }
    QWidget* GetProcessorPage() const noexcept { return page.data(); }

protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void Layout();
    void ShowSelectedPage();

    MainModel& model;
    HeaderPanel* header = nullptr;
    ControlPanel* controlPanel = nullptr;
    QPointer<QWidget> page; // the processor's; null when it has none or destroyed it
};

} // namespace VistelCapture
