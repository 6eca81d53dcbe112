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

        VistelCapture::MainModel model(application.CaptureApiFamily, application.SkipErrorDevice,
                                       application.SkipDuplicatedFrameFormat,
                                       application.GetApplicationFolder(), application);

        // The window comes next; until it exists the program reports what it started with.
        const Norvex::Core::VersionInformation version;
        const auto& entry = version.GetEntry(0);
        const auto& processor =
            *model.GetProcessorEntries()[static_cast<std::size_t>(model.GetProcessorIndex())];
        std::printf(
            "%s %s\nconfiguration: %s\ndevice: %s\nformat: %s\nprocessor: %s\n"
            "The capture window is not part of this build yet; vistel-capture-cli streams and records.\n",
            Norvex::Core::ToUtf8(entry.productName).c_str(),
            Norvex::Core::ToUtf8(entry.productVersion).c_str(),
            Norvex::Core::ToUtf8(application.GetProfile().GetPath()).c_str(),
            Norvex::Core::ToUtf8(model.GetCurrentDevice().friendlyName).c_str(),
            Norvex::Core::ToUtf8(model.GetCurrentFrameFormat().GetName()).c_str(),
            Norvex::Core::ToUtf8(processor.GetName()).c_str());
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
