#include "SelectProcessorDialog.h"

#include "DialogUnits.h"
#include "MainModel.h"
#include "QtText.h"

#include <QListWidget>
#include <QPushButton>

namespace VistelCapture
{

SelectProcessorDialog::SelectProcessorDialog(MainModel& model, QWidget* parent)
    : QDialog(parent), model(model)
{
    // Template 131: "MS Shell Dlg" 8 pt, 183 x 130 dialog units, a fixed frame.
    const DialogUnits units(QStringLiteral("MS Shell Dlg"), 8);
    setFont(units.GetFont());
    setWindowTitle(QStringLiteral("処理選択"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(units.ToPixels(183, 130));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setGeometry(units.ToPixels(31, 109, 50, 14));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("キャンセル"), this);
    cancel->setGeometry(units.ToPixels(102, 109, 50, 14));
    cancel->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    list = new QListWidget(this);
    list->setGeometry(units.ToPixels(7, 7, 169, 96));
    list->setAccessibleName(QStringLiteral("処理"));
    // Row i is processor entry i.
    for (const auto& entry : model.GetProcessorEntries())
    {
        list->addItem(ToQString(entry->GetName()));
    }
    list->setCurrentRow(model.GetProcessorIndex());
    setTabOrder(list, ok);
    setTabOrder(ok, cancel);
    list->setFocus();
}

void SelectProcessorDialog::accept()
{
    const auto selected = list->selectedItems();
    if (!selected.isEmpty())
    {
        model.SelectProcessor(list->row(selected.front()));
    }
    QDialog::accept();
}

} // namespace VistelCapture
