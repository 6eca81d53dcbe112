#pragma once

#include <QColor>
#include <QString>

#include <optional>

class QDialog;
class QWidget;

namespace VistelCapture
{

// Every modal box and dialog the windows open goes through here, so that tests replace them and
// never block on a real one. The default shows the real Qt dialogs.
//
// Thread: user-interface thread only.
class Dialogs
{
public:
    virtual ~Dialogs() = default;

    // The "エラー" box with the critical icon.
    virtual void ShowError(QWidget* parent, const QString& text) = 0;
    // The "警告" box with the warning icon, for news the user should not miss while the window
    // goes on working (a recording that dropped frames): shown without waiting for it to close.
    virtual void ShowWarning(QWidget* parent, const QString& text) = 0;
    // A yes/no question; true for yes.
    virtual bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) = 0;
    // A file to write: filter in Qt's form ("ビットマップ (*.bmp);;..."), the suffix added when the
    // user types none, and the overwrite prompt. Empty when cancelled.
    virtual std::optional<QString> GetSaveFileName(QWidget* parent, const QString& filter,
                                                   const QString& defaultSuffix) = 0;
    virtual std::optional<QString> GetExistingDirectory(QWidget* parent, const QString& title,
                                                        const QString& start) = 0;
    virtual std::optional<QColor> GetColor(QWidget* parent, const QColor& initial) = 0;
    // Runs a modal dialog of ours (the processor choice, the version box); QDialog::exec's result.
    virtual int Exec(QDialog& dialog) = 0;

    // The instance in use; the Qt one unless a test installed another.
    static Dialogs& Current();
    // Installs dialogs (nullptr restores the Qt ones); the caller keeps ownership.
    static void SetCurrent(Dialogs* dialogs);

    // A filter in the bar-separated form ("JPEG (*.jpg;*.jpeg)|*.jpg;*.jpeg||": description, bar,
    // patterns, ending in two bars) in Qt's form ("JPEG (*.jpg *.jpeg)", entries joined by ";;").
    static QString ToQtFilter(const QString& barSeparated);
};

} // namespace VistelCapture
