#include "HeaderPanel.h"

#include "MainModel.h"
#include "QtText.h"

#include <Norvex/Mfc/PropertyChangedEvent.h>

namespace VistelCapture
{

HeaderPanel::HeaderPanel(MainModel& model, QWidget* parent)
    : QWidget(parent), units(QStringLiteral("MS Shell Dlg"), 8), model(model)
{
    setFont(units.GetFont());
    hide();
    captureSettingsButton = new ManualCheck<QPushButton>(QStringLiteral("取り込み設定"), this);
    captureSettingsButton->setCheckable(true);
    captureSettingsButton->setGeometry(units.ToPixels(0, 0, 90, 17));
    processorButton = new ManualCheck<QPushButton>(this);
    processorButton->setCheckable(true);
    processorButton->setGeometry(units.ToPixels(90, 0, 90, 17));
    resize(units.ToPixels(180, 18));
    connect(captureSettingsButton, &QPushButton::clicked, this, [this] { SelectPage(0); });
    connect(processorButton, &QPushButton::clicked, this, [this] { SelectPage(1); });
    model.AddListener(this);
}

HeaderPanel::~HeaderPanel()
{
    model.RemoveListener(this);
}

void HeaderPanel::SelectPage(std::int32_t page)
{
    model.SetSetting(model.ControlPanelPage, page, MainModelProperty::ControlPanelPage);
}

bool HeaderPanel::event(QEvent* event)
{
    if (event->type() == model.GetEventType())
    {
        OnMainModelPropertyChanged(static_cast<Norvex::Mfc::PropertyChangedEvent*>(event)->GetProperty());
        return true;
    }
    return QWidget::event(event);
}

void HeaderPanel::OnMainModelPropertyChanged(int property)
{
    switch (static_cast<MainModelProperty>(property))
    {
    case MainModelProperty::Processor:
    {
        const auto& entry =
            model.GetProcessorEntries().at(static_cast<std::size_t>(model.GetProcessorIndex()));
        processorButton->setText(ToQString(entry->GetName()));
        break;
    }
    case MainModelProperty::ControlPanelPage:
        captureSettingsButton->setChecked(model.ControlPanelPage == 0);
        processorButton->setChecked(model.ControlPanelPage != 0);
        break;
    default:
        break;
    }
}

} // namespace VistelCapture
