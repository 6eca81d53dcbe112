#include "Dialogs.h"

#include <QColorDialog>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

namespace VistelCapture
{
namespace
{

class QtDialogs final : public Dialogs
{
public:
    void ShowError(QWidget* parent, const QString& text) override
    {
        QMessageBox::critical(parent, QStringLiteral("エラー"), text);
    }

    bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) override
    {
        return QMessageBox::question(parent, caption, text) == QMessageBox::Yes;
    }

    std::optional<QString> GetSaveFileName(QWidget* parent, const QString& filter,
                                           const QString& defaultSuffix) override
    {
        QFileDialog dialog(parent);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilter(filter);
        dialog.setDefaultSuffix(defaultSuffix);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        {
            return std::nullopt;
        }
        return dialog.selectedFiles().front();
    }

    std::optional<QString> GetExistingDirectory(QWidget* parent, const QString& title,
                                                const QString& start) override
    {
        const QString folder = QFileDialog::getExistingDirectory(parent, title, start);
        if (folder.isEmpty())
        {
            return std::nullopt;
        }
        return folder;
    }

    std::optional<QColor> GetColor(QWidget* parent, const QColor& initial) override
    {
        const QColor color = QColorDialog::getColor(initial, parent);
        if (!color.isValid())
        {
            return std::nullopt;
        }
        return color;
    }

    int Exec(QDialog& dialog) override { return dialog.exec(); }
};

Dialogs* installed = nullptr; // user-interface thread only

} // namespace

Dialogs& Dialogs::Current()
{
    static QtDialogs qtDialogs;
    return installed != nullptr ? *installed : qtDialogs;
}

void Dialogs::SetCurrent(Dialogs* dialogs)
{
    installed = dialogs;
}

} // namespace VistelCapture
