#include "GuardedApplication.h"

#include "Dialogs.h"
#include "QtText.h"
#include "VistelCaptureApp.h"

#include <Norvex/Core/Exception.h>

#include <QDialog>
#include <QLibraryInfo>
#include <QWidget>

#include <utility>

namespace VistelCapture
{

GuardedApplication::GuardedApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    // Debian ships Qt's translations apart (qt6-translations-l10n); without them Qt's dialogs stay
    // English and nothing else changes.
    if (qtTexts.load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    {
        installTranslator(&qtTexts);
    }
}

bool GuardedApplication::notify(QObject* receiver, QEvent* event)
{
    try
    {
        return QApplication::notify(receiver, event);
    }
    catch (...)
    {
        const std::exception_ptr exception = std::current_exception();
        if (!pluginFaultFilter || !pluginFaultFilter(receiver, exception))
        {
            HandleException(exception);
        }
        return false;
    }
}

void GuardedApplication::SetPluginFaultFilter(std::function<bool(QObject*, std::exception_ptr)> filter)
{
    pluginFaultFilter = std::move(filter);
}

void GuardedApplication::SetTopLevelHandler(std::function<void(std::exception_ptr)> handler)
{
    topLevelHandler = std::move(handler);
}

void GuardedApplication::HandleException(std::exception_ptr exception)
{
    auto* application = qobject_cast<GuardedApplication*>(QCoreApplication::instance());
    if (!application)
    {
        ShowAndExit(exception);
        return;
    }
    if (std::exchange(application->failed, true))
    {
        return;
    }
    if (application->topLevelHandler)
    {
        application->topLevelHandler(exception);
    }
    else
    {
        ShowAndExit(exception);
    }
}

void GuardedApplication::ShowAndExit(std::exception_ptr exception)
{
    QString text = QStringLiteral("未知のエラーが発生しました。");
    try
    {
        std::rethrow_exception(exception);
    }
    catch (const Norvex::Core::Exception& caught)
    {
        text = ToQString(VistelCaptureApp::Instance().ComposeErrorText(caught));
    }
    catch (...)
    {
    }
    Dialogs::Current().ShowError(nullptr, text);

    // Close the modal dialogs first: leaving their loops alone would return exec() with the
    // dialog still on screen.
    for (QWidget* widget : QApplication::topLevelWidgets())
    {
        if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
        {
            dialog->reject();
        }
    }
    QCoreApplication::exit(1);
}

} // namespace VistelCapture
