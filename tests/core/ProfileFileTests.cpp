#include <Norvex/Core/ProfileFile.h>
#include <Norvex/Core/StringHelpers.h>

#include "FileText.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using Norvex::Core::ProfileFile;
using Norvex::Core::ToWideString;
using Norvex::Testing::ReadFileText;
using Norvex::Testing::TemporaryFolder;
using Norvex::Testing::WriteFileText;

namespace
{

std::wstring LookUp(const std::string& contents, const wchar_t* section, const wchar_t* key)
{
    return ProfileFile::LookUp(contents, section, key, L"<default>");
}

class ProfileFileTest : public ::testing::Test
{
protected:
    TemporaryFolder folder;
    std::filesystem::path path = folder / "VistelCapture.ini";
    ProfileFile profile{ToWideString(path.string())};
};

} // namespace

TEST(ProfileParsing, MatchesSectionsAndKeysWithoutRegardToCase)
{
    const std::string text = "[Settings]\nViewRatio=200\n[Other]\nviewratio=5\n";
    EXPECT_EQ(LookUp(text, L"settings", L"VIEWRATIO"), L"200");
    EXPECT_EQ(LookUp(text, L"OTHER", L"ViewRatio"), L"5");
    EXPECT_EQ(LookUp(text, L"Missing", L"ViewRatio"), L"<default>");
    EXPECT_EQ(LookUp(text, L"Settings", L"Missing"), L"<default>");
}

TEST(ProfileParsing, TrimsBlanksAndOneQuotePairLikeWindows)
{
    const std::string text =
        "  [ Sec ]  \r\n\t key \t=  some value  \r\nq=\"quoted \"\r\nr='a'\r\ns=\"half\r\n";
    EXPECT_EQ(LookUp(text, L"Sec", L"key"), L"some value");
    EXPECT_EQ(LookUp(text, L"Sec", L"q"), L"quoted ");
    EXPECT_EQ(LookUp(text, L"Sec", L"r"), L"a");
    EXPECT_EQ(LookUp(text, L"Sec", L"s"), L"\"half");
}

TEST(ProfileParsing, FirstOfDuplicatesWinsAndJunkIsTolerated)
{
    const std::string text = std::string("junk before any section\n"
                                         "[A]\nno equals sign here\n=value without key\nk=first\nk=second\n"
                                         "[a]\nk=third\nother=x\n"
                                         "[broken header\nb=1\n") +
                             std::string("\0\xFF\xFE=\x01", 5) + "\n[B]\n" + std::string(1 << 20, 'x') +
                             "=huge\n";
    EXPECT_EQ(LookUp(text, L"A", L"k"), L"first");
    EXPECT_EQ(LookUp(text, L"A", L"other"), L"<default>");
    EXPECT_EQ(LookUp(text, L"broken header", L"b"), L"1");
    EXPECT_EQ(LookUp(text, L"B", std::wstring(1 << 20, L'x').c_str()), L"huge");
    EXPECT_EQ(LookUp("\xEF\xBB\xBF[Bom]\nk=v", L"Bom", L"k"), L"v");
    EXPECT_EQ(LookUp("[S]\nk=\xFF", L"S", L"k"), L"\uFFFD");
}

TEST(ProfileParsing, IntegersReadLikeGetPrivateProfileInt)
{
    EXPECT_EQ(ProfileFile::ParseInt(L"42", 7), 42);
    EXPECT_EQ(ProfileFile::ParseInt(L"  -17abc", 7), -17);
    EXPECT_EQ(ProfileFile::ParseInt(L"+5", 7), 5);
    EXPECT_EQ(ProfileFile::ParseInt(L"abc", 7), 0);
    EXPECT_EQ(ProfileFile::ParseInt(L"-", 7), 0);
    EXPECT_EQ(ProfileFile::ParseInt(L"", 7), 7);
    EXPECT_EQ(ProfileFile::ParseInt(L"2147483647", 0), 2147483647);
    EXPECT_EQ(ProfileFile::ParseInt(L"-2147483648", 0), INT32_MIN);
    EXPECT_EQ(ProfileFile::ParseInt(L"4294967295", 0), -1); // 32-bit wrap, never undefined
    EXPECT_EQ(ProfileFile::ParseInt(L"99999999999999999999", 0),
              ProfileFile::ParseInt(L"99999999999999999999", 1));
    // Lower-case prefixes choose the base; reading stops at the first character that does not belong.
    EXPECT_EQ(ProfileFile::ParseInt(L"0x10", 7), 16);
    EXPECT_EQ(ProfileFile::ParseInt(L"-0x10", 7), -16);
    EXPECT_EQ(ProfileFile::ParseInt(L"+0xfF", 7), 255);
    EXPECT_EQ(ProfileFile::ParseInt(L"0xFFFFFFFF", 7), -1);
    EXPECT_EQ(ProfileFile::ParseInt(L"0x100000010", 7), 16);
    EXPECT_EQ(ProfileFile::ParseInt(L"0X1F", 7), 0);
    EXPECT_EQ(ProfileFile::ParseInt(L"0x1g2", 7), 1);
    EXPECT_EQ(ProfileFile::ParseInt(L"0x", 7), 0);
    EXPECT_EQ(ProfileFile::ParseInt(L"0o17", 7), 15);
    EXPECT_EQ(ProfileFile::ParseInt(L"0o8", 7), 0);
    EXPECT_EQ(ProfileFile::ParseInt(L"0b1012", 7), 5);
    EXPECT_EQ(ProfileFile::ParseInt(L"010", 7), 10);
    EXPECT_EQ(ProfileFile::ParseInt(L"- 5", 7), 0);
    EXPECT_EQ(ProfileFile::LookUp("[S]\nk= 0x20 ;mask\n", L"S", L"k", L""), L"0x20 ;mask");
}

TEST(ProfileParsing, CrLfAndCrAloneEachEndALine)
{
    const std::string crOnly = "[S]\ra=1\rb=2\r[T]\ra=3\r";
    EXPECT_EQ(LookUp(crOnly, L"S", L"b"), L"2");
    EXPECT_EQ(LookUp(crOnly, L"T", L"a"), L"3");
    const std::string mixed = "[S]\ra=1\nb=2\r\n\r[T]\n\ra=3";
    EXPECT_EQ(LookUp(mixed, L"S", L"a"), L"1");
    EXPECT_EQ(LookUp(mixed, L"S", L"b"), L"2");
    EXPECT_EQ(LookUp(mixed, L"T", L"a"), L"3");
    // Writes change the key where it is, and new lines take the file's first line break.
    EXPECT_EQ(ProfileFile::Update(crOnly, L"S", L"a", L"9"), "[S]\ra=9\rb=2\r[T]\ra=3\r");
    EXPECT_EQ(ProfileFile::Update(crOnly, L"S", L"c", L"4"), "[S]\ra=1\rb=2\rc=4\r[T]\ra=3\r");
    EXPECT_EQ(ProfileFile::Update(mixed, L"T", L"b", L"5"), "[S]\ra=1\nb=2\r\n\r[T]\n\ra=3\rb=5\r");
    EXPECT_EQ(ProfileFile::Update(mixed, L"U", L"c", L"6"), "[S]\ra=1\nb=2\r\n\r[T]\n\ra=3\r[U]\rc=6\r");
}

TEST(ProfileParsing, NamesAreTrimmedTheEmptyKeyIsAKeyAndDefaultsLoseTrailingSpaces)
{
    const std::string text = "[Sec]\nkey=v\n=no-key\n";
    EXPECT_EQ(LookUp(text, L" Sec\t", L"\tkey "), L"v");
    EXPECT_EQ(LookUp(text, L"Sec", L""), L"no-key");
    EXPECT_EQ(LookUp(text, L"Sec", L"  "), L"no-key");
    EXPECT_EQ(ProfileFile::LookUp(text, L"Sec", L"missing", L"def  "), L"def");
    EXPECT_EQ(ProfileFile::LookUp(text, L"Sec", L"missing", L" d\t "), L" d\t");
    EXPECT_EQ(ProfileFile::LookUp(text, L"Sec", L"missing", L"   "), L"");
    // A write with outer blanks updates the entry it names instead of adding "[ Sec ]".
    EXPECT_EQ(ProfileFile::Update(text, L" Sec ", L" key ", L"w"), "[Sec]\nkey=w\n=no-key\n");
    EXPECT_EQ(ProfileFile::Update(text, L"Sec", L"", L"x"), "[Sec]\nkey=v\n=x\n");
    EXPECT_EQ(ProfileFile::Update(text, L" New ", L" k ", L"  v "), "[Sec]\nkey=v\n=no-key\n[New]\nk=v \n");
}

TEST(ProfileUpdating, KeepsOrderAndAppendsNewKeysAtTheEndOfTheirSection)
{
    std::string text = "; comment\n[First]\na=1\n\n[Second]\nx=9\n";
    text = ProfileFile::Update(text, L"first", L"b", L"2");
    EXPECT_EQ(text, "; comment\n[First]\na=1\nb=2\n\n[Second]\nx=9\n");
    text = ProfileFile::Update(text, L"FIRST", L"A", L"10");
    EXPECT_EQ(text, "; comment\n[First]\na=10\nb=2\n\n[Second]\nx=9\n");
    text = ProfileFile::Update(text, L"Third", L"k", L"値");
    EXPECT_EQ(text, "; comment\n[First]\na=10\nb=2\n\n[Second]\nx=9\n[Third]\nk=\xE5\x80\xA4\n");
}

TEST(ProfileUpdating, KeepsLineBreaksByteOrderMarkAndAMissingFinalBreak)
{
    EXPECT_EQ(ProfileFile::Update("[S]\r\na=1\r\n", L"S", L"b", L"2"), "[S]\r\na=1\r\nb=2\r\n");
    EXPECT_EQ(ProfileFile::Update("[S]\na=1", L"S", L"b", L"2"), "[S]\na=1\nb=2\n");
    EXPECT_EQ(ProfileFile::Update("[S]", L"T", L"b", L"2"), "[S]\n[T]\nb=2\n");
    EXPECT_EQ(ProfileFile::Update("\xEF\xBB\xBF[S]\na=1\n", L"S", L"a", L"3"), "\xEF\xBB\xBF[S]\na=3\n");
    EXPECT_EQ(ProfileFile::Update("", L"S", L"a", L"1"), "[S]\na=1\n");
    // Only the first of duplicate sections and keys is written, as it is the one read.
    EXPECT_EQ(ProfileFile::Update("[S]\na=1\na=2\n[s]\na=3\n", L"S", L"a", L"9"),
              "[S]\na=9\na=2\n[s]\na=3\n");
}

TEST_F(ProfileFileTest, MissingFileReadsDefaultsAndWritingCreatesIt)
{
    EXPECT_EQ(profile.GetProfileInt(L"Application", L"CaptureApiFamily", 3), 3);
    EXPECT_EQ(profile.GetProfileString(L"Settings", L"CaptureDeviceName", L"none"), L"none");
    ASSERT_TRUE(profile.WriteProfileInt(L"Application", L"CaptureApiFamily", -1));
    ASSERT_TRUE(profile.WriteProfileString(L"Settings", L"CaptureDeviceName", L"/dev/v4l/by-id/usb-カメラ"));
    EXPECT_EQ(ReadFileText(path),
              "[Application]\nCaptureApiFamily=-1\n[Settings]\n"
              "CaptureDeviceName=/dev/v4l/by-id/usb-\xE3\x82\xAB\xE3\x83\xA1\xE3\x83\xA9\n");
    EXPECT_EQ(profile.GetProfileInt(L"application", L"captureapifamily", 3), -1);
    EXPECT_EQ(profile.GetProfileString(L"Settings", L"CaptureDeviceName", L""), L"/dev/v4l/by-id/usb-カメラ");
    // An empty value reads as the default, like the Windows reader.
    ASSERT_TRUE(profile.WriteProfileString(L"Settings", L"Empty", L""));
    EXPECT_EQ(profile.GetProfileInt(L"Settings", L"Empty", 12), 12);
}

TEST_F(ProfileFileTest, RefusesTextThatWouldBreakTheFileStructure)
{
    EXPECT_FALSE(profile.WriteProfileString(L"Settings", L"Key", L"two\nlines"));
    EXPECT_FALSE(profile.WriteProfileString(L"Set]tings", L"Key", L"v"));
    EXPECT_FALSE(profile.WriteProfileString(L"Settings", L"a=b", L"v"));
    EXPECT_FALSE(profile.WriteProfileString(L"Settings", L"", L"v"));
    EXPECT_FALSE(profile.WriteProfileString(L"Settings", L" \t", L"v"));
    EXPECT_FALSE(profile.WriteProfileString(L"  ", L"Key", L"v"));
    // A key opening with "[" would read back as a section header that swallows the rest.
    EXPECT_FALSE(profile.WriteProfileString(L"Settings", L" [Key", L"v"));
    EXPECT_FALSE(std::filesystem::exists(path));
    ProfileFile nowhere(L"/nonexistent-folder-for-tests/x.ini");
    EXPECT_FALSE(nowhere.WriteProfileInt(L"A", L"b", 1));
}

TEST_F(ProfileFileTest, AWriteOfTheStoredValueLeavesTheFileUntouched)
{
    const std::string before = "; hand-edited\r\n[Settings]\r\n  ViewRatio  =  200  \r\nName=\"cam\"\r\n";
    WriteFileText(path, before);
    const auto longAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
    std::filesystem::last_write_time(path, longAgo);
    struct stat original
    {
    };
    ASSERT_EQ(::stat(path.c_str(), &original), 0);

    ASSERT_TRUE(profile.WriteProfileInt(L"settings", L" viewratio ", 200));
    ASSERT_TRUE(profile.WriteProfileString(L"Settings", L"ViewRatio", L"  200"));
    EXPECT_EQ(ReadFileText(path), before);
    EXPECT_EQ(std::filesystem::last_write_time(path), longAgo);
    struct stat after
    {
    };
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, original.st_ino) << "the file was replaced";

    // The quotes are part of what is stored, so the bare value is a change; names written with
    // outer blanks land on the entries they name.
    ASSERT_TRUE(profile.WriteProfileString(L"Settings", L"Name", L"cam"));
    ASSERT_TRUE(profile.WriteProfileString(L" Settings ", L" Zoom\t", L"2"));
    EXPECT_EQ(ReadFileText(path),
              "; hand-edited\r\n[Settings]\r\n  ViewRatio  =  200  \r\nName=cam\r\nZoom=2\r\n");
}

TEST_F(ProfileFileTest, AFileThatCannotBeReadIsNeverReplaced)
{
    const std::string before = "[Settings]\nViewRatio=200\n[Plugin]\nThreshold=7\n";
    WriteFileText(path, before);
    ::chmod(path.c_str(), 0200);
    ::chmod(folder.Path().c_str(), 0777);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        // Root reads anything: an ordinary user is needed for a file that cannot be read.
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
        {
            ::_exit(2);
        }
        const bool defaulted = profile.GetProfileInt(L"Settings", L"ViewRatio", 5) == 5;
        const bool refused = !profile.WriteProfileInt(L"Settings", L"ViewRatio", 300);
        ::_exit(defaulted && refused ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(ReadFileText(path), before);
}

TEST_F(ProfileFileTest, WriteKeepsTheFileModeAndFollowsASymbolicLink)
{
    WriteFileText(path, "[A]\nb=1\n");
    ::chmod(path.c_str(), 0600);
    const auto link = folder / "link.ini";
    std::filesystem::create_symlink(path, link);
    ProfileFile viaLink(ToWideString(link.string()));
    ASSERT_TRUE(viaLink.WriteProfileInt(L"A", L"b", 2));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadFileText(path), "[A]\nb=2\n");
    struct stat status
    {
    };
    ::stat(path.c_str(), &status);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()), {}), 2);

    // A link to a file not made yet makes that file and stays a link; a link to a device is no file.
    std::filesystem::create_symlink("later.ini", folder / "ahead.ini");
    ASSERT_TRUE(ProfileFile(ToWideString((folder / "ahead.ini").string())).WriteProfileInt(L"A", L"b", 3));
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "ahead.ini"));
    EXPECT_EQ(ReadFileText((folder / "later.ini").string()), "[A]\nb=3\n");
    std::filesystem::create_symlink("/dev/null", folder / "device.ini");
    EXPECT_FALSE(ProfileFile(ToWideString((folder / "device.ini").string())).WriteProfileInt(L"A", L"b", 4));
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "device.ini"));
}

TEST_F(ProfileFileTest, AWriteInterruptedBeforeTheRenameLeavesTheOldFile)
{
    const std::string before = "[Application]\nIsDebugMessageEnabled=1\n";
    WriteFileText(path, before);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        // The process dies with the new contents on disk but not yet in place.
        profile.SetBeforeReplaceHook([] { ::_exit(0); });
        profile.WriteProfileInt(L"Application", L"IsDebugMessageEnabled", 0);
        ::_exit(1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the hook did not run";
    EXPECT_EQ(ReadFileText(path), before);
    EXPECT_EQ(profile.GetProfileInt(L"Application", L"IsDebugMessageEnabled", 5), 1);
}

TEST_F(ProfileFileTest, ConcurrentWritersLoseNoKey)
{
    auto writer = [this](int first)
    {
        for (int i = first; i < first + 20; ++i)
        {
            profile.WriteProfileInt(L"S", L"k" + std::to_wstring(i), i);
        }
    };
    std::thread a(writer, 0), b(writer, 100);
    a.join();
    b.join();
    for (int i : {0, 19, 100, 119})
    {
        EXPECT_EQ(profile.GetProfileInt(L"S", L"k" + std::to_wstring(i), -1), i);
    }
}
