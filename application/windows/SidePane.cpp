#include "SidePane.h"

#include "HeaderPanel.h"
#include "MainModel.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Mfc/PropertyChangedEvent.h>

namespace VistelCapture
{

SidePane::SidePane(MainModel& model, QWidget* parent) : QWidget(parent), model(model)
{
    header = new HeaderPanel(model, this);
    controlPanel = new ControlPanel(model, this);
    controlPanel->hide();
    const QSize size = ControlPanel::TemplateSize();
    setFixedWidth(size.width());
    resize(size);
    Layout();
    model.AddListener(this);
}

SidePane::~SidePane()
{
    model.RemoveListener(this);
}

void SidePane::SetPreviewSize(ControlPanel::PreviewSizeFunction function)
{
    controlPanel->SetPreviewSize(std::move(function));
}

bool SidePane::event(QEvent* event)
{
    if (event->type() == model.GetEventType())
    {
        OnMainModelPropertyChanged(static_cast<Norvex::Mfc::PropertyChangedEvent*>(event)->GetProperty());
        return true;
    }
    return QWidget::event(event);
}

void SidePane::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Layout();
}

void SidePane::Layout()
{
    int top = 0;
    if (page)
    {
        header->move(0, 0);
        top = header->height();
    }
    const QRect area(0, top, width(), std::max(0, height() - top));
    controlPanel->setGeometry(area);
    if (page)
    {
        page->setGeometry(area);
    }
}

void SidePane::ShowSelectedPage()
{
    // Without a page the capture settings show whatever the setting says, never an empty pane.
    const bool processorPage = model.ControlPanelPage != 0 && page;
    controlPanel->setVisible(!processorPage);
    if (page)
    {
        page->setVisible(processorPage);
    }
}

void SidePane::OnMainModelPropertyChanged(int property)
{
    switch (static_cast<MainModelProperty>(property))
    {
    case MainModelProperty::Processor:
    {
        // The previous processor's page is its own to destroy; if it is still there it goes out of
        // sight and out of the layout first, so a failure below leaves the capture settings on show.
        if (page)
        {
            page->hide();
        }
        page = nullptr;
        header->hide();
        ShowSelectedPage();
        Layout();

        // A processor that cannot make its page has failed: the model reports it and the pane
        // keeps the capture settings.
        QWidget* created = nullptr;
        if (!model.CallProcessor("CreateControlPanel", [&](Vistel::Framework::IProcessor& processor)
                                 { return processor.CreateControlPanel(this, &created); }))
        {
            created = nullptr;
        }
        page = created;
        if (model.ControlPanelPage != 0 && !page)
        {
            model.SetSetting(model.ControlPanelPage, 0, MainModelProperty::ControlPanelPage);
        }
        header->setVisible(page != nullptr);
        ShowSelectedPage();
        Layout();
        break;
    }
    case MainModelProperty::ControlPanelPage:
        ShowSelectedPage();
        break;
    default:
        break;
    }
}

} // namespace VistelCapture
