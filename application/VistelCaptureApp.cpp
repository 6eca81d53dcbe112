#include "VistelCaptureApp.h"

#include <Norvex/Core/ModulePath.h>
#include <Norvex/Core/StringHelpers.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

using Norvex::Core::ChangeExtension;
using Norvex::Core::Exception;
using Norvex::Core::GetDirectoryName;
using Norvex::Core::GetFileName;
using Norvex::Core::ToUtf8;
using Norvex::Core::ToWideString;

namespace VistelCapture
{
namespace
{

constexpr const wchar_t* applicationSection = L"Application";

bool IsWritableFolder(const std::wstring& folder)
{
    return !folder.empty() && ::access(ToUtf8(folder).c_str(), W_OK | X_OK) == 0;
}

// mkdir -p; true when the folder exists afterwards.
bool MakeFolders(const std::string& folder)
{
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return std::filesystem::is_directory(folder, error);
}

std::wstring ConfigurationHome()
{
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
    {
        return ToWideString(xdg);
    }
    const char* home = std::getenv("HOME");
    return home && *home ? ToWideString(home) + L"/.config" : std::wstring();
}

bool IsRegularFile(const std::string& path)
{
    struct stat status = {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Copies source to target when target does not exist yet and source is a regular file.
void SeedFrom(const std::wstring& source, const std::wstring& target)
{
    std::error_code error;
    const std::string from = ToUtf8(source);
    const std::string to = ToUtf8(target);
    if (IsRegularFile(from) && !std::filesystem::exists(to, error) && !error)
    {
        std::filesystem::copy_file(from, to, std::filesystem::copy_options::skip_existing, error);
    }
}

// A write of the INI file that was killed leaves its temporary file ("<file>.XXXXXX") behind.
// Those older than a minute cannot belong to a write still running, and are removed.
void RemoveStaleTemporaryFiles(const std::wstring& iniPath)
{
    namespace fs = std::filesystem;
    const fs::path ini(ToUtf8(iniPath));
    const std::string prefix = ini.filename().string() + ".";
    const auto now = fs::file_time_type::clock::now();
    std::error_code error;
    fs::directory_iterator entries(ini.parent_path(), error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error))
    {
        const std::string name = entries->path().filename().string();
        std::error_code statusError;
        if (name.size() != prefix.size() + 6 || !name.starts_with(prefix) ||
            !std::all_of(name.begin() + prefix.size(), name.end(),
                         [](unsigned char c) { return std::isalnum(c); }) ||
            !entries->is_regular_file(statusError) || entries->is_symlink(statusError))
        {
            continue;
        }
        const auto written = entries->last_write_time(statusError);
        if (!statusError && now - written > std::chrono::minutes(1))
        {
            fs::remove(entries->path(), statusError);
        }
    }
}

} // namespace

VistelCaptureApp& VistelCaptureApp::Instance()
{
    static VistelCaptureApp application;
    return application;
}

void VistelCaptureApp::PrepareIniFile()
{
    PrepareIniFile(Norvex::Core::GetModulePath());
}

void VistelCaptureApp::PrepareIniFile(const std::wstring& modulePath)
{
    applicationFolder = GetDirectoryName(modulePath);
    std::wstring path = ChangeExtension(modulePath, L".ini");
    if (!modulePath.empty() && !IsWritableFolder(applicationFolder))
    {
        // An installed program's folder is read-only: keep the file in the user's configuration.
        const std::wstring name = GetFileName(ChangeExtension(modulePath, L""));
        const std::wstring home = ConfigurationHome();
        const std::wstring folder = home + L"/" + name;
        path = !home.empty() && MakeFolders(ToUtf8(folder)) ? folder + L"/" + name + L".ini" : std::wstring();
        if (!path.empty())
        {
            // The first run there starts from the settings shipped beside the executable.
            SeedFrom(ChangeExtension(modulePath, L".ini"), path);
        }
    }
    // Anything but a regular file (or none yet) cannot be the file: a folder fails every read and
    // write, and a FIFO would block whoever opens it.
    struct stat status = {};
    if (modulePath.empty() || path.empty() ||
        (::stat(ToUtf8(path).c_str(), &status) == 0 && !S_ISREG(status.st_mode)))
    {
        throw Exception(L"INIファイルを設定できませんでした。", "PrepareIniFile", NORVEX_SOURCE_FILE,
                        __LINE__);
    }
    RemoveStaleTemporaryFiles(path);
    profile.SetPath(std::move(path));
}

void VistelCaptureApp::LoadApplicationSettings()
{
    IsDebugMessageEnabled =
        profile.GetProfileInt(applicationSection, L"IsDebugMessageEnabled", IsDebugMessageEnabled) != 0;
    CaptureApiFamily = profile.GetProfileInt(applicationSection, L"CaptureApiFamily", CaptureApiFamily);
    SkipErrorDevice = profile.GetProfileInt(applicationSection, L"SkipErrorDevice", SkipErrorDevice) != 0;
    SkipDuplicatedFrameFormat = profile.GetProfileInt(applicationSection, L"SkipDuplicatedFrameFormat",
                                                      SkipDuplicatedFrameFormat) != 0;

    // A read-only file is no reason not to start: the switches are in effect either way.
    profile.WriteProfileInt(applicationSection, L"IsDebugMessageEnabled", IsDebugMessageEnabled);
    profile.WriteProfileInt(applicationSection, L"CaptureApiFamily", CaptureApiFamily);
    profile.WriteProfileInt(applicationSection, L"SkipErrorDevice", SkipErrorDevice);
    profile.WriteProfileInt(applicationSection, L"SkipDuplicatedFrameFormat", SkipDuplicatedFrameFormat);
}

std::wstring VistelCaptureApp::ComposeErrorText(const Exception& exception) const
{
    std::wstring text = exception.GetMessage();
    if (IsDebugMessageEnabled)
    {
        text += GetFileName(exception.GetSourceFileName()) + L"(" +
                std::to_wstring(exception.GetLineNumber()) + L")";
    }
    return text;
}

} // namespace VistelCapture
