#pragma once

#include "Dialogs.h"

#include <QColor>
#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Dialogs for widget tests: records what the windows asked and answers from scripted values, so no
// test ever blocks on a real dialog. Installs itself for its lifetime.
class FakeDialogs final : public VistelCapture::Dialogs
{
public:
    FakeDialogs() { Dialogs::SetCurrent(this); }
    ~FakeDialogs() override { Dialogs::SetCurrent(nullptr); }
    FakeDialogs(const FakeDialogs&) = delete;
    FakeDialogs& operator=(const FakeDialogs&) = delete;

    // What was asked.
    QStringList errors;
    QStringList warnings;
    QStringList saveFilters;
    QStringList saveSuffixes;
    QStringList folderTitles;
    int yesNoQuestions = 0;
    int colorRequests = 0;
    int dialogsRun = 0;

    // What is answered (nullopt: the user cancelled).
    std::optional<QString> saveFileName;
    std::optional<QString> folder;
    std::optional<QColor> color;
    bool yes = true;
    // Called with the dialog while it would be shown; returns the exec() result.
    std::function<int(QDialog&)> onExec = [](QDialog&)
    {
        return int(QDialog::Rejected);
    };

    void ShowError(QWidget*, const QString& text) override { errors << text; }
    void ShowWarning(QWidget*, const QString& text) override { warnings << text; }
    bool AskYesNo(QWidget*, const QString&, const QString&) override
    {
        ++yesNoQuestions;
        return yes;
    }
    std::optional<QString> GetSaveFileName(QWidget*, const QString& filter,
                                           const QString& defaultSuffix) override
    {
        saveFilters << filter;
        saveSuffixes << defaultSuffix;
        return saveFileName;
    }
    std::optional<QString> GetExistingDirectory(QWidget*, const QString& title, const QString&) override
    {
        folderTitles << title;
        return folder;
    }
    std::optional<QColor> GetColor(QWidget*, const QColor&) override
    {
        ++colorRequests;
        return color;
    }
    int Exec(QDialog& dialog) override
    {
        ++dialogsRun;
        return onExec(dialog);
    }
};
