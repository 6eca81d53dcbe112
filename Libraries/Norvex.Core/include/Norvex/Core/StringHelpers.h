#pragma once

#include <string>
#include <string_view>

namespace Norvex::Core
{

// Narrow text is UTF-8 on Linux. Malformed bytes become U+FFFD instead of failing, so that
// damaged files and foreign names still read.
std::wstring ToWideString(std::string_view narrow);
std::wstring ToWideString(const char* narrow);
std::string ToUtf8(std::wstring_view wide);

// Path helpers treat backslash, slash and colon as separators.
std::wstring GetDirectoryName(const std::wstring& path);
std::wstring GetFileName(const std::wstring& path);
std::wstring ChangeExtension(const std::wstring& path, const std::wstring& extension);

} // namespace Norvex::Core
