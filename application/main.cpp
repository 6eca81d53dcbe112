#include "MainModel.h"
#include "VistelCaptureApp.h"

#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/VersionInformation.h>

#include <QApplication>
#include <QMessageBox>
#include <QString>

#include <cstdio>

namespace
{

QString ToQString(const std::wstring& text)
{
    return QString::fromStdWString(text);
}

void ShowError(const std::wstring& text)
{
    QMessageBox::critical(nullptr, QStringLiteral("エラー"), ToQString(text));
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication qtApplication(argc, argv);
    auto& application = VistelCapture::VistelCaptureApp::Instance();
    try
    {
        application.PrepareIniFile();
        application.LoadApplicationSettings();

        // The model and the window come next; until they exist the program reports what it read.
        const Norvex::Core::VersionInformation version;
        const auto& entry = version.GetEntry(0);
        std::printf(
            "%s %s\nconfiguration: %s\nIsDebugMessageEnabled=%d CaptureApiFamily=%d SkipErrorDevice=%d "
            "SkipDuplicatedFrameFormat=%d\nThe capture window is not part of this build yet.\n",
            Norvex::Core::ToUtf8(entry.productName).c_str(),
            Norvex::Core::ToUtf8(entry.productVersion).c_str(),
            Norvex::Core::ToUtf8(application.GetProfile().GetPath()).c_str(),
            application.IsDebugMessageEnabled, application.CaptureApiFamily, application.SkipErrorDevice,
            application.SkipDuplicatedFrameFormat);
    }
    catch (const Norvex::Core::Exception& exception)
    {
        ShowError(application.ComposeErrorText(exception));
    }
    catch (...)
    {
        ShowError(L"未知のエラーが発生しました。");
    }
    return 0;
}
