#include "PluginTestSupport.h"

#include "Plugin.h"
#include "PluginDiscovery.h"

#include <FileText.h>
#include <TemporaryFolder.h>

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace
{

namespace fs = std::filesystem;
using Norvex::Core::Exception;
using Norvex::Testing::TemporaryFolder;
using VistelCapture::DiscoverProcessorEntries;
using VistelCapture::Plugin;
using VistelTest::CopyTestPlugin;
using VistelTest::IsLoaded;

std::wstring Wide(const fs::path& path)
{
    return Norvex::Core::ToWideString(path.string());
}

// The folder as the application passes it: ending in its separator.
std::wstring FolderOf(const TemporaryFolder& folder)
{
    return Wide(folder.Path()) + L"/";
}

std::vector<std::wstring> NamesOf(const std::vector<std::shared_ptr<VistelCapture::ProcessorEntry>>& entries)
{
    std::vector<std::wstring> names;
    for (const auto& entry : entries)
    {
        names.push_back(entry->GetName());
    }
    return names;
}

// The status and function name of the exception that constructing a Plugin raises.
std::pair<Norvex::Core::HRESULT, std::wstring> LoadFailure(const fs::path& path)
{
    try
    {
        Plugin plugin(Wide(path));
    }
    catch (const Exception& exception)
    {
        return {exception.GetErrorCode(), exception.GetFunctionName()};
    }
    return {Norvex::Core::S_OK, L""};
}

TEST(Plugin, LoadsALibraryAndItsFactoryAndUnloadsItWhenDestroyed)
{
    TemporaryFolder folder;
    const auto path = CopyTestPlugin("Three", folder.Path(), "VistelThree.so");
    {
        Plugin plugin(Wide(path));
        ASSERT_NE(plugin.GetFactory(), nullptr);
        std::int32_t count = 0;
        EXPECT_EQ(plugin.GetFactory()->GetProcessorCount(&count), Norvex::Core::S_OK);
        EXPECT_EQ(count, 3);
        EXPECT_TRUE(IsLoaded(path));
    }
    EXPECT_FALSE(IsLoaded(path));
}

TEST(Plugin, FailuresRaiseWithItsNameAndLeaveNothingLoaded)
{
    TemporaryFolder folder;
    const auto noExport = CopyTestPlugin("NoExport", folder.Path(), "VistelNoExport.so");
    const auto factoryFails = CopyTestPlugin("FactoryFails", folder.Path(), "VistelFactoryFails.so");
    const auto nullFactory = CopyTestPlugin("NullFactory", folder.Path(), "VistelNullFactory.so");
    const auto throwing = CopyTestPlugin("ThrowingFactory", folder.Path(), "VistelThrowingFactory.so");
    Norvex::Testing::WriteFileText(folder / "VistelText.so", "not a library\n");
    fs::create_directory(folder / "VistelFolder.so");

    using Failure = std::pair<Norvex::Core::HRESULT, std::wstring>;
    EXPECT_EQ(LoadFailure(folder / "VistelMissing.so"), Failure(Norvex::Core::E_POINTER, L"Plugin"));
    EXPECT_EQ(LoadFailure(folder / "VistelText.so"), Failure(Norvex::Core::E_POINTER, L"Plugin"));
    EXPECT_EQ(LoadFailure(folder / "VistelFolder.so"), Failure(Norvex::Core::E_POINTER, L"Plugin"));
    EXPECT_EQ(LoadFailure(noExport), Failure(Norvex::Core::E_POINTER, L"Plugin"));
    EXPECT_EQ(LoadFailure(factoryFails), Failure(Norvex::Core::E_NOTIMPL, L"Plugin"));
    EXPECT_EQ(LoadFailure(nullFactory), Failure(Norvex::Core::E_POINTER, L"Plugin"));
    // A foreign exception is turned into ours before the library that made it is unloaded.
    EXPECT_EQ(LoadFailure(throwing), Failure(Norvex::Core::E_FAIL, L"Plugin"));

    for (const auto& path : {noExport, factoryFails, nullFactory, throwing})
    {
        EXPECT_FALSE(IsLoaded(path)) << path;
    }
}

TEST(Plugin, NeverLoadsByARelativePath)
{
    TemporaryFolder folder;
    CopyTestPlugin("Three", folder.Path(), "VistelThree.so");
    const auto previous = fs::current_path();
    fs::current_path(folder.Path());
    const auto bare = LoadFailure("VistelThree.so");
    const auto relative = LoadFailure("./VistelThree.so");
    fs::current_path(previous);
    EXPECT_EQ(bare.first, Norvex::Core::E_POINTER);
    EXPECT_EQ(relative.first, Norvex::Core::E_POINTER);
    EXPECT_FALSE(IsLoaded(folder / "VistelThree.so"));
}

TEST(Discovery, WithoutMatchingLibrariesOnlyTheBuiltInEntryIsThere)
{
    TemporaryFolder folder;
    const std::vector<std::wstring> builtInOnly = {L"なし"};
    EXPECT_EQ(NamesOf(DiscoverProcessorEntries(FolderOf(folder))), builtInOnly);
    EXPECT_EQ(NamesOf(DiscoverProcessorEntries(FolderOf(folder) + L"missing/")), builtInOnly);

    // Files that do not match the pattern exactly are not looked at.
    CopyTestPlugin("Three", folder.Path(), "libVistelThree.so");
    CopyTestPlugin("Three", folder.Path(), "VistelThree.so.1");
    CopyTestPlugin("Three", folder.Path(), "vistelthree.so");
    CopyTestPlugin("Three", folder.Path(), "VistelThree.SO");
    EXPECT_EQ(NamesOf(DiscoverProcessorEntries(FolderOf(folder))), builtInOnly);

    // Nor is a relative folder, whose meaning would depend on the working directory.
    CopyTestPlugin("Three", folder.Path(), "VistelThree.so");
    const auto previous = fs::current_path();
    fs::current_path(folder.Path().parent_path());
    const auto names = NamesOf(DiscoverProcessorEntries(Wide(folder.Path().filename()) + L"/"));
    fs::current_path(previous);
    EXPECT_EQ(names, builtInOnly);
}

TEST(Discovery, EntriesFollowTheBuiltInOneLibraryByLibraryInNameOrder)
{
    TemporaryFolder folder;
    // Names chosen so that name order differs from the order of creation.
    CopyTestPlugin("TwinB", folder.Path(), "VistelD.so");
    CopyTestPlugin("Three", folder.Path(), "VistelB.so");
    CopyTestPlugin("NameFails", folder.Path(), "VistelA.so");
    CopyTestPlugin("TwinA", folder.Path(), "VistelC.so");

    const auto entries = DiscoverProcessorEntries(FolderOf(folder));
    const std::vector<std::wstring> expected = {L"なし", L"First",    L"Sharpen", L"Blur",
                                                L"Edge", L"同じ名前", L"同じ名前"};
    ASSERT_EQ(NamesOf(entries), expected);

    EXPECT_EQ(entries[0]->GetPlugin(), nullptr);
    EXPECT_EQ(entries[0]->GetIndex(), 0);
    // Entries of one library share it and count its processors from 0.
    for (int i = 2; i <= 4; ++i)
    {
        EXPECT_EQ(entries[i]->GetPlugin(), entries[2]->GetPlugin());
        EXPECT_EQ(entries[i]->GetIndex(), i - 2);
        EXPECT_EQ(entries[i]->GetProcessor(), nullptr);
    }
    // Equal names from two libraries are two entries.
    EXPECT_NE(entries[5]->GetPlugin(), entries[6]->GetPlugin());
    EXPECT_EQ(entries[5]->GetIndex(), 0);
    EXPECT_EQ(entries[6]->GetIndex(), 0);
    // The entry named before the failure keeps its library loaded.
    EXPECT_NE(entries[1]->GetPlugin(), nullptr);
    EXPECT_TRUE(IsLoaded(folder / "VistelA.so"));
}

TEST(Discovery, BrokenFilesAreSkippedAndDiscoveryGoesOn)
{
    TemporaryFolder folder;
    const auto empty = CopyTestPlugin("Empty", folder.Path(), "VistelA1Empty.so");
    const auto noExport = CopyTestPlugin("NoExport", folder.Path(), "VistelA2NoExport.so");
    const auto factoryFails = CopyTestPlugin("FactoryFails", folder.Path(), "VistelA3FactoryFails.so");
    const auto nullFactory = CopyTestPlugin("NullFactory", folder.Path(), "VistelA4NullFactory.so");
    const auto throwing = CopyTestPlugin("ThrowingFactory", folder.Path(), "VistelA5Throwing.so");
    const auto countFails = CopyTestPlugin("CountFails", folder.Path(), "VistelA6CountFails.so");
    const auto nameThrows = CopyTestPlugin("NameThrows", folder.Path(), "VistelA7NameThrows.so");
    // Taken at its word, a count like INT_MAX would allocate entries until memory runs out.
    const auto tooMany = CopyTestPlugin("TooMany", folder.Path(), "VistelA8TooMany.so");
    Norvex::Testing::WriteFileText(folder / "VistelB1Text.so", "not a library\n");
    Norvex::Testing::WriteFileText(folder / "VistelB2Empty.so", "");
    fs::create_directory(folder / "VistelB3Folder.so");
    fs::create_symlink("VistelB4Loop.so", folder / "VistelB4Loop.so");
    fs::create_symlink("VistelB5Other.so", folder / "VistelB5Ping.so");
    fs::create_symlink("VistelB5Ping.so", folder / "VistelB5Other.so");
    fs::create_symlink("missing.so", folder / "VistelB6Dangling.so");
    // Opening a FIFO for reading would block discovery for ever.
    ASSERT_EQ(::mkfifo((folder / "VistelB7Fifo.so").c_str(), 0600), 0);
    // Half-copied libraries: their segments reach past the end of the file, where dlopen's
    // mapping would raise SIGBUS.
    const auto whole = fs::file_size(VistelTest::TestPluginPath("Three"));
    for (const std::uintmax_t cut : {std::uintmax_t(63), std::uintmax_t(1024), std::uintmax_t(4096),
                                     std::uintmax_t(8192), std::uintmax_t(12288), whole / 2, whole - 1})
    {
        const auto copy = CopyTestPlugin("Three", folder.Path(), "VistelB8Cut" + std::to_string(cut) + ".so");
        fs::resize_file(copy, cut);
    }
    const auto good = CopyTestPlugin("Three", folder.Path(), "VistelC.so");
    // A link to a real library is followed.
    fs::create_symlink("VistelC.so", folder / "VistelD.so");

    const auto entries = DiscoverProcessorEntries(FolderOf(folder));
    const std::vector<std::wstring> expected = {L"なし",    L"Sharpen", L"Blur", L"Edge",
                                                L"Sharpen", L"Blur",    L"Edge"};
    EXPECT_EQ(NamesOf(entries), expected);

    // Libraries that gave no entry are unloaded at once.
    for (const auto& path :
         {empty, noExport, factoryFails, nullFactory, throwing, countFails, nameThrows, tooMany})
    {
        EXPECT_FALSE(IsLoaded(path)) << path;
    }
    EXPECT_TRUE(IsLoaded(good));
}

TEST(Discovery, ALibraryStaysLoadedWhileAnyOfItsEntriesLives)
{
    TemporaryFolder folder;
    const auto path = CopyTestPlugin("Three", folder.Path(), "VistelThree.so");
    auto entries = DiscoverProcessorEntries(FolderOf(folder));
    ASSERT_EQ(entries.size(), 4u);
    auto last = entries[3];
    entries.clear();
    EXPECT_TRUE(IsLoaded(path));
    // The factory still works through the one entry left.
    std::wstring name;
    EXPECT_EQ(last->GetPlugin()->GetFactory()->GetProcessorName(0, name), Norvex::Core::S_OK);
    EXPECT_EQ(name, L"Sharpen");
    last.reset();
    EXPECT_FALSE(IsLoaded(path));
}

} // namespace
