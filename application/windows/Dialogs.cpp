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

    void ShowWarning(QWidget* parent, const QString& text) override
    {
        auto* box =
            new QMessageBox(QMessageBox::Warning, QStringLiteral("警告"), text, QMessageBox::Ok, parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
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

QString Dialogs::ToQtFilter(const QString& barSeparated)
{
    const QStringList parts = barSeparated.split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
    {
        QString description = parts[i].trimmed();
        const QString patterns = parts[i + 1].trimmed();
        if (description.isEmpty() && patterns.isEmpty())
        {
            break; // the closing pair of bars
        }
        // Qt reads the patterns from the parentheses at the end, separated by blanks.
        if (description.endsWith(u')'))
        {
            if (const qsizetype open = description.lastIndexOf(u'('); open >= 0)
            {
                description = description.left(open).trimmed();
            }
        }
        QString qtPatterns = patterns;
        qtPatterns.replace(u';', u' ');
        filters << description + QStringLiteral(" (") + qtPatterns + u')';
    }
    return filters.join(QStringLiteral(";;"));
}

} // namespace VistelCapture
