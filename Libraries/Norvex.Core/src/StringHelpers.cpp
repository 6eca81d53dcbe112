#include <Norvex/Core/StringHelpers.h>

namespace Norvex::Core
{
namespace
{

constexpr char32_t replacement = 0xFFFD;

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/' || c == L':';
}

std::size_t LastSeparator(const std::wstring& path)
{
    for (std::size_t i = path.size(); i > 0; --i)
    {
        if (IsSeparator(path[i - 1]))
        {
            return i - 1;
        }
    }
    return std::wstring::npos;
}

} // namespace

// Hand-written rather than iconv or GLib: both reject a whole string at the first bad byte,
// where a damaged INI file or device name must still read with the bad bytes replaced.
std::wstring ToWideString(std::string_view narrow)
{
    std::wstring wide;
    wide.reserve(narrow.size());
    const auto* p = reinterpret_cast<const unsigned char*>(narrow.data());
    const auto* end = p + narrow.size();
    while (p < end)
    {
        const unsigned char lead = *p;
        if (lead < 0x80)
        {
            wide.push_back(static_cast<wchar_t>(lead));
            ++p;
            continue;
        }
        int length = 0;
        char32_t code = 0;
        char32_t minimum = 0;
        if ((lead & 0xE0) == 0xC0)
        {
            length = 2, code = lead & 0x1F, minimum = 0x80;
        }
        else if ((lead & 0xF0) == 0xE0)
        {
            length = 3, code = lead & 0x0F, minimum = 0x800;
        }
        else if ((lead & 0xF8) == 0xF0)
        {
            length = 4, code = lead & 0x07, minimum = 0x10000;
        }
        int taken = 1;
        bool valid = length != 0;
        for (; valid && taken < length; ++taken)
        {
            if (p + taken >= end || (p[taken] & 0xC0) != 0x80)
            {
                valid = false;
                break;
            }
            code = (code << 6) | (p[taken] & 0x3F);
        }
        if (valid && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)))
        {
            valid = false;
        }
        wide.push_back(static_cast<wchar_t>(valid ? code : replacement));
        p += valid ? length : taken;
    }
    return wide;
}

std::wstring ToWideString(const char* narrow)
{
    return narrow ? ToWideString(std::string_view(narrow)) : L"";
}

std::string ToUtf8(std::wstring_view wide)
{
    std::string narrow;
    narrow.reserve(wide.size());
    for (wchar_t c : wide)
    {
        auto code = static_cast<char32_t>(c);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        {
            code = replacement;
        }
        if (code < 0x80)
        {
            narrow.push_back(static_cast<char>(code));
        }
        else if (code < 0x800)
        {
            narrow.push_back(static_cast<char>(0xC0 | (code >> 6)));
            narrow.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
        else if (code < 0x10000)
        {
            narrow.push_back(static_cast<char>(0xE0 | (code >> 12)));
            narrow.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
        else
        {
            narrow.push_back(static_cast<char>(0xF0 | (code >> 18)));
            narrow.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return narrow;
}

std::wstring GetDirectoryName(const std::wstring& path)
{
    const auto separator = LastSeparator(path);
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

std::wstring GetFileName(const std::wstring& path)
{
    const auto separator = LastSeparator(path);
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::wstring ChangeExtension(const std::wstring& path, const std::wstring& extension)
{
    std::wstring name = GetFileName(path);
    if (const auto dot = name.rfind(L'.'); dot != std::wstring::npos)
    {
        name.resize(dot);
    }
    return GetDirectoryName(path) + name + extension;
}

} // namespace Norvex::Core
