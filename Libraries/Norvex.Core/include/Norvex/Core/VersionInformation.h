#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Norvex::Core
{

// Company name, product version and product name per translation of the running program.
// Linux executables carry no version resource: the build supplies one translation.
class VersionInformation
{
public:
    struct Translation
    {
        std::uint16_t language;
        std::uint16_t codePage;
    };

    struct Entry
    {
        const Translation* translation;
        const wchar_t* companyName;
        const wchar_t* productVersion;
        const wchar_t* productName;
    };

    VersionInformation();
    VersionInformation(const VersionInformation&) = delete;
    VersionInformation& operator=(const VersionInformation&) = delete;

    std::size_t GetEntryCount() const noexcept { return entries.size(); }
    const Entry& GetEntry(std::size_t index) const { return entries.at(index); }

private:
    struct Block
    {
        Translation translation;
        std::wstring companyName;
        std::wstring productVersion;
        std::wstring productName;
    };

    std::vector<Block> blocks;
    std::vector<Entry> entries;
};

} // namespace Norvex::Core
