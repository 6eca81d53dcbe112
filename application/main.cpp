#include "GuardedApplication.h"
#include "MainModel.h"
#include "MainWindow.h"
#include "VistelCaptureApp.h"

#include <exception>

int main(int argc, char* argv[])
{
    // Exceptions out of the running window reach the guarded application's handler: the "エラー"
    // box, then the end of the run with a failure status.
    VistelCapture::GuardedApplication qtApplication(argc, argv);
    // Ties the window to the installed menu entry and its icon (the Wayland application id).
    QGuiApplication::setDesktopFileName(QStringLiteral("vistel-capture"));
    auto& application = VistelCapture::VistelCaptureApp::Instance();
    try
    {
        application.PrepareIniFile();
        application.LoadApplicationSettings();
        VistelCapture::MainModel model(application.CaptureApiFamily, application.SkipErrorDevice,
                                       application.SkipDuplicatedFrameFormat,
                                       application.GetApplicationFolder(), application);
        VistelCapture::MainWindow window(model);
        window.exec();
        // The window goes first, then the model, which saves its settings.
    }
    catch (...)
    {
        // Start-up and teardown: "キャプチャーデバイスがありません。" most often.
        VistelCapture::GuardedApplication::ShowAndExit(std::current_exception());
        return 1;
    }
    return qtApplication.HasFailed() ? 1 : 0;
}
