// libFuzzer target for the INI reader and writer: any bytes must parse, the kind of line break
// must not change what is read, a value written must read back as written without disturbing
// other sections, and writing it again must change nothing.
#include <Norvex/Core/ProfileFile.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

using Norvex::Core::ProfileFile;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string contents(reinterpret_cast<const char*>(data), size);
    std::string crOnly = contents;
    std::replace(crOnly.begin(), crOnly.end(), '\n', '\r');
    for (const wchar_t* section : {L"Application", L"Settings", L"a"})
    {
        for (const wchar_t* key : {L"CaptureApiFamily", L"k", L"x", L""})
        {
            const auto value = ProfileFile::LookUp(contents, section, key, L"");
            (void)ProfileFile::ParseInt(value, 0);
            if (ProfileFile::LookUp(crOnly, section, key, L"") != value)
            {
                std::abort();
            }
        }
    }
    const std::string updated = ProfileFile::Update(contents, L"Settings", L"ViewRatio", L"250");
    if (ProfileFile::LookUp(updated, L"settings", L"viewratio", L"") != L"250")
    {
        std::abort();
    }
    if (ProfileFile::LookUp(updated, L"Application", L"CaptureApiFamily", L"<none>") !=
        ProfileFile::LookUp(contents, L"Application", L"CaptureApiFamily", L"<none>"))
    {
        std::abort();
    }
    if (ProfileFile::Update(updated, L" settings ", L"VIEWRATIO\t", L"250") != updated)
    {
        std::abort();
    }
    return 0;
}
