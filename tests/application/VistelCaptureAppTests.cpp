#include "VistelCaptureApp.h"

#include <Norvex/Core/StringHelpers.h>

#include "FileText.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

using Norvex::Core::Exception;
using Norvex::Core::ToWideString;
using Norvex::Testing::ReadFileText;
using Norvex::Testing::TemporaryFolder;
using Norvex::Testing::WriteFileText;
using VistelCapture::VistelCaptureApp;

namespace
{

class ApplicationTest : public ::testing::Test
{
protected:
    std::wstring Module(const std::string& name) const { return ToWideString((folder / name).string()); }

    TemporaryFolder folder;
    VistelCaptureApp application;
};

} // namespace

TEST_F(ApplicationTest, FirstRunWritesTheFourSwitchesInTableOrder)
{
    application.PrepareIniFile(Module("VistelCapture"));
    application.LoadApplicationSettings();
    EXPECT_EQ(ReadFileText(folder / "VistelCapture.ini"), "[Application]\n"
                                                          "IsDebugMessageEnabled=0\n"
                                                          "CaptureApiFamily=0\n"
                                                          "SkipErrorDevice=1\n"
                                                          "SkipDuplicatedFrameFormat=1\n");
    EXPECT_FALSE(application.IsDebugMessageEnabled);
    EXPECT_EQ(application.CaptureApiFamily, 0);
    EXPECT_TRUE(application.SkipErrorDevice);
    EXPECT_TRUE(application.SkipDuplicatedFrameFormat);
    EXPECT_EQ(application.GetApplicationFolder(), ToWideString(folder.Path().string()) + L"/");
}

TEST_F(ApplicationTest, BooleansAreNormalisedAndTheFamilyKeptAsRead)
{
    WriteFileText(folder / "VistelCapture.ini",
                  "[Settings]\nViewRatio=100\n"
                  "[application]\r\nskiperrordevice=5\r\nCaptureApiFamily= 7 \r\n"
                  "SkipDuplicatedFrameFormat=0\r\nIsDebugMessageEnabled=-3\r\n");
    application.PrepareIniFile(Module("VistelCapture.bin"));
    application.LoadApplicationSettings();
    EXPECT_TRUE(application.SkipErrorDevice);
    EXPECT_EQ(application.CaptureApiFamily, 7);
    EXPECT_FALSE(application.SkipDuplicatedFrameFormat);
    EXPECT_TRUE(application.IsDebugMessageEnabled);
    // Existing keys keep their place and spelling, a value already stored stays as it was written,
    // and other sections are untouched.
    EXPECT_EQ(ReadFileText(folder / "VistelCapture.ini"),
              "[Settings]\nViewRatio=100\n"
              "[application]\r\nskiperrordevice=1\r\nCaptureApiFamily= 7 \r\n"
              "SkipDuplicatedFrameFormat=0\r\nIsDebugMessageEnabled=1\r\n");
}

TEST_F(ApplicationTest, ConfigurationPathFollowsTheExecutableName)
{
    application.PrepareIniFile(Module("vistel.capture.v2"));
    EXPECT_EQ(application.GetProfile().GetPath(), Module("vistel.capture.ini"));
    application.PrepareIniFile(Module("VistelCapture"));
    EXPECT_EQ(application.GetProfile().GetPath(), Module("VistelCapture.ini"));
}

TEST_F(ApplicationTest, UnwritableFolderMovesTheFileToTheUserConfiguration)
{
    const char* previous = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = previous ? previous : "";
    ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    application.PrepareIniFile(L"/nonexistent-install-folder/bin/VistelCapture");
    previous ? ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");

    EXPECT_EQ(application.GetProfile().GetPath(), Module("config/VistelCapture/VistelCapture.ini"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "config/VistelCapture"));
    application.LoadApplicationSettings();
    EXPECT_TRUE(std::filesystem::exists(folder / "config/VistelCapture/VistelCapture.ini"));
}

// An installed program's folder is read-only to its users: the file in the user's configuration
// starts from the settings shipped beside the executable. Root may write anywhere, so the check
// runs in a child process as an ordinary user.
TEST_F(ApplicationTest, TheUserConfigurationStartsFromTheFileBesideTheExecutable)
{
    const auto install = folder / "install";
    std::filesystem::create_directories(install);
    std::filesystem::create_directories(folder / "config");
    WriteFileText(install / "VistelCapture.ini",
                  "[Application]\nCaptureApiFamily=1\n[Settings]\nViewRatio=250\n");
    ::chmod(folder.Path().c_str(), 0755);
    ::chmod(install.c_str(), 0555);
    ::chmod((install / "VistelCapture.ini").c_str(), 0444);
    ::chmod((folder / "config").c_str(), 0777);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
        {
            ::_exit(3);
        }
        ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
        VistelCaptureApp installed;
        installed.PrepareIniFile(Module("install/VistelCapture"));
        installed.LoadApplicationSettings();
        const bool fromBeside = installed.CaptureApiFamily == 1 &&
                                installed.GetProfile().GetProfileInt(L"Settings", L"ViewRatio", 100) == 250;
        ::_exit(installed.GetProfile().GetPath() == Module("config/VistelCapture/VistelCapture.ini") &&
                        fromBeside
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    ::chmod(install.c_str(), 0755);
}

// A write killed between writing its temporary file and renaming it leaves the temporary file.
TEST_F(ApplicationTest, StaleTemporaryFilesOfTheIniFileAreRemovedAtStartUp)
{
    const auto stale = folder / "VistelCapture.ini.Ab3dE9";
    const auto fresh = folder / "VistelCapture.ini.Zy8xW7";
    const auto other = folder / "VistelCapture.ini.bak";
    for (const auto& path : {stale, fresh, other})
    {
        WriteFileText(path, "[Application]\n");
        std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() -
                                                   std::chrono::hours(2));
    }
    std::filesystem::last_write_time(fresh, std::filesystem::file_time_type::clock::now());

    application.PrepareIniFile(Module("VistelCapture"));
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_TRUE(std::filesystem::exists(fresh)) << "a write may be running right now";
    EXPECT_TRUE(std::filesystem::exists(other)) << "not a name of ours";
}

TEST_F(ApplicationTest, NoUsablePathRaisesTheIniFileMessage)
{
    // A folder or a FIFO where the file should be: reading the one fails, opening the other would
    // wait for a writer for ever.
    std::filesystem::create_directory(folder / "Folder.ini");
    ASSERT_EQ(::mkfifo((folder / "Fifo.ini").c_str(), 0600), 0);
    for (const auto& module : {std::wstring(), Module("Folder"), Module("Fifo")})
    {
        try
        {
            application.PrepareIniFile(module);
            ADD_FAILURE() << "no exception for " << Norvex::Core::ToUtf8(module);
        }
        catch (const Exception& exception)
        {
            EXPECT_EQ(exception.GetMessage(), L"INIファイルを設定できませんでした。");
            EXPECT_EQ(exception.GetFunctionName(), L"PrepareIniFile");
        }
    }

    // Should the file turn into a FIFO later, reading it gives the defaults at once.
    application.PrepareIniFile(Module("Later"));
    ASSERT_EQ(::mkfifo((folder / "Later.ini").c_str(), 0600), 0);
    EXPECT_EQ(application.GetProfile().GetProfileInt(L"Application", L"CaptureApiFamily", 7), 7);
}

TEST_F(ApplicationTest, ErrorTextAddsFileAndLineOnlyInDebugMode)
{
    const Exception own(L"キャプチャーデバイスがありません。", "MainModel", L"application/MainModel.cpp",
                        120);
    EXPECT_EQ(application.ComposeErrorText(own), L"キャプチャーデバイスがありません。");
    application.IsDebugMessageEnabled = true;
    EXPECT_EQ(application.ComposeErrorText(own), L"キャプチャーデバイスがありません。MainModel.cpp(120)");

    // A status text ends in a line break, so the place stands on a line of its own.
    const Exception status(Norvex::Core::E_FAIL, "Open", L"recording/VideoWriter.cpp", 8);
    const auto text = application.ComposeErrorText(status);
    EXPECT_EQ(text, status.GetMessage() + L"VideoWriter.cpp(8)");
    EXPECT_NE(text.find(L"\nVideoWriter.cpp(8)"), std::wstring::npos);
}
