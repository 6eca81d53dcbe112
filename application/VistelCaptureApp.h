#pragma once

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/ProfileFile.h>

#include <cstdint>
#include <string>

namespace VistelCapture
{

// The one application object: the configuration file, the start-up switches of section
// "Application" and the way a caught exception is put into words.
class VistelCaptureApp
{
public:
    VistelCaptureApp() = default;
    VistelCaptureApp(const VistelCaptureApp&) = delete;
    VistelCaptureApp& operator=(const VistelCaptureApp&) = delete;

    // Start-up switches, in the order the file lists them.
    bool IsDebugMessageEnabled = false;
    std::int32_t CaptureApiFamily = 0;
    bool SkipErrorDevice = true;
    bool SkipDuplicatedFrameFormat = true;

    // Points the profile at the INI file beside the executable, or under $XDG_CONFIG_HOME when
    // the executable's folder cannot be written.
    void PrepareIniFile();
    void PrepareIniFile(const std::wstring& modulePath);

    // Reads the four switches with the members as defaults and writes them back normalised.
    void LoadApplicationSettings();

    // The message, then with debug messages the source file's name and "(line)".
    std::wstring ComposeErrorText(const Norvex::Core::Exception& exception) const;

    Norvex::Core::ProfileFile& GetProfile() noexcept { return profile; }
    const Norvex::Core::ProfileFile& GetProfile() const noexcept { return profile; }

    // The folder of the executable, ending in its separator.
    const std::wstring& GetApplicationFolder() const noexcept { return applicationFolder; }

    static VistelCaptureApp& Instance();

private:
    Norvex::Core::ProfileFile profile;
    std::wstring applicationFolder;
};

} // namespace VistelCapture
