#include "Dialogs.h"
#include "MainModel.h"
#include "MainWindow.h"
#include "VistelCaptureApp.h"

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>

namespace
{

// Until the shared guarded application arrives: catches what leaves an event handler and hands it
// to the top-level handler, which ends the run.
class GuardedApplication final : public QApplication
{
public:
    GuardedApplication(int& argc, char** argv) : QApplication(argc, argv) {}

    void SetTopLevelHandler(std::function<void(std::exception_ptr)> handler)
    {
        topLevelHandler = std::move(handler);
    }
    bool HasFailed() const { return failed; }

    bool notify(QObject* receiver, QEvent* event) override
    {
        try
        {
            return QApplication::notify(receiver, event);
        }
        catch (...)
        {
            failed = true;
            if (topLevelHandler)
            {
                topLevelHandler(std::current_exception());
            }
            exit(1);
            return false;
        }
    }

private:
    std::function<void(std::exception_ptr)> topLevelHandler;
    bool failed = false;
};

} // namespace

int main(int argc, char* argv[])
{
    GuardedApplication qtApplication(argc, argv);
    // Ties the window to the installed menu entry and its icon (the Wayland application id).
    QGuiApplication::setDesktopFileName(QStringLiteral("vistel-capture"));
    auto& application = VistelCapture::VistelCaptureApp::Instance();
    // One way to put any exception into words, at start-up and out of the running window alike.
    const auto showError = [&application](std::exception_ptr error)
    {
        QString text;
        try
        {
            std::rethrow_exception(error);
        }
        catch (const Norvex::Core::Exception& exception)
        {
            text = QString::fromStdWString(application.ComposeErrorText(exception));
        }
        catch (...)
        {
            text = QStringLiteral("未知のエラーが発生しました。");
        }
        VistelCapture::Dialogs::Current().ShowError(nullptr, text);
    };
    qtApplication.SetTopLevelHandler(showError);
    try
    {
        application.PrepareIniFile();
        application.LoadApplicationSettings();
        VistelCapture::MainModel model(application.CaptureApiFamily, application.SkipErrorDevice,
                                       application.SkipDuplicatedFrameFormat,
                                       application.GetApplicationFolder(), application);
        VistelCapture::MainWindow window(model);
        window.exec();
    }
    catch (...)
    {
        showError(std::current_exception());
        return 1;
    }
    return qtApplication.HasFailed() ? 1 : 0;
}
