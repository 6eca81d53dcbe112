#include "GuardedApplication.h"
#include "MainModel.h"
#include "MainWindow.h"
#include "SignalWatcher.h"
#include "VistelCaptureApp.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

#include <csignal>
#include <exception>

int main(int argc, char* argv[])
{
    // Exceptions out of the running window reach the guarded application's handler: the "エラー"
    // box, then the end of the run with a failure status.
    VistelCapture::GuardedApplication qtApplication(argc, argv);
    // Ties the window to the installed menu entry and its icon (the Wayland application id).
    QGuiApplication::setDesktopFileName(QStringLiteral("vistel-capture"));
    // Ctrl+C or a logout closes the window the way its close box does, so a recording running
    // then is finished and its file complete before the program ends.
    VistelCapture::SignalWatcher terminationSignals({SIGINT, SIGTERM});
    auto& application = VistelCapture::VistelCaptureApp::Instance();
    try
    {
        application.PrepareIniFile();
        application.LoadApplicationSettings();
        VistelCapture::MainModel model(application.CaptureApiFamily, application.SkipErrorDevice,
                                       application.SkipDuplicatedFrameFormat,
                                       application.GetApplicationFolder(), application);
        // Cameras plugged in or out while the window is up appear in and leave its lists.
        model.WatchDevices();
        VistelCapture::MainWindow window(model);
        // Held weakly: a signal read while an error box runs after the window is gone finds nothing.
        terminationSignals.SetHandler(
            [target = QPointer<VistelCapture::MainWindow>(&window)](int)
            {
                if (target)
                {
                    target->close();
                }
            });
        if (VistelCapture::SignalWatcher::GetReceivedSignal() == 0)
        {
            window.exec();
        }
        // The window goes first, then the model, which saves its settings.
    }
    catch (...)
    {
        // Start-up and teardown (an INI file that cannot be set up; no camera is no failure). A
        // signal closes the box as it would close the window, or the program could only be killed
        // while it is up.
        terminationSignals.SetHandler(
            [](int)
            {
                if (QWidget* box = QApplication::activeModalWidget())
                {
                    box->close();
                }
            });
        if (VistelCapture::SignalWatcher::GetReceivedSignal() == 0)
        {
            VistelCapture::GuardedApplication::ShowAndExit(std::current_exception());
        }
        const int signal = VistelCapture::SignalWatcher::GetReceivedSignal();
        return signal != 0 ? 128 + signal : 1;
    }
    if (const int signal = VistelCapture::SignalWatcher::GetReceivedSignal(); signal != 0)
    {
        return 128 + signal;
    }
    return qtApplication.HasFailed() ? 1 : 0;
}
