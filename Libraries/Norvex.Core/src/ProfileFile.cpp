#include <Norvex/Core/FileDescriptor.h>
#include <Norvex/Core/ProfileFile.h>
#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/TemporaryFile.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cwctype>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace Norvex::Core
{
namespace
{

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

struct Line
{
    std::string_view text;       // without its line break
    std::string_view terminator; // "\n", "\r\n", "\r" or empty at the end of the file
};

// CR, LF and CR-LF each end a line, so files from any editor read alike.
std::vector<Line> SplitLines(std::string_view contents)
{
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < contents.size())
    {
        const auto end = contents.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
        {
            lines.push_back({contents.substr(start), {}});
            break;
        }
        const std::size_t breakLength = contents.substr(end, 2) == "\r\n" ? 2 : 1;
        lines.push_back({contents.substr(start, end - start), contents.substr(end, breakLength)});
        start = end + breakLength;
    }
    if (!lines.empty() && lines.front().text.starts_with(byteOrderMark))
    {
        lines.front().text.remove_prefix(byteOrderMark.size());
    }
    return lines;
}

template <typename Char> std::basic_string_view<Char> TrimBlanks(std::basic_string_view<Char> text)
{
    const auto blank = [](Char c)
    {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    };
    while (!text.empty() && blank(text.front()))
    {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back()))
    {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view Trim(std::string_view text)
{
    return TrimBlanks(text);
}

// Names are asked for and written without their outer blanks, as they are read from the file.
std::wstring TrimName(const std::wstring& name)
{
    return std::wstring(TrimBlanks(std::wstring_view(name)));
}

bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i)
    {
        if (a[i] != b[i] &&
            std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
        {
            return false;
        }
    }
    return true;
}

// The section a header line opens, if it is one.
std::optional<std::wstring> SectionName(std::string_view line)
{
    line = Trim(line);
    if (line.empty() || line.front() != '[')
    {
        return std::nullopt;
    }
    line.remove_prefix(1);
    line = line.substr(0, line.find(']'));
    return ToWideString(Trim(line));
}

struct KeyValue
{
    std::wstring key;       // may be empty: "=value" is the entry of the empty key
    std::string_view raw;   // without outer blanks, quotes kept: what a write compares with
    std::string_view value; // as read: one pair of matching quotes dropped
};

std::optional<KeyValue> ParseKeyValue(std::string_view line)
{
    const auto equals = line.find('=');
    if (equals == std::string_view::npos)
    {
        return std::nullopt;
    }
    const auto raw = Trim(line.substr(equals + 1));
    auto value = raw;
    // Windows drops one pair of matching quotes around a value.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    {
        value = value.substr(1, value.size() - 2);
    }
    return KeyValue{ToWideString(Trim(line.substr(0, equals))), raw, value};
}

// Where a section's lines are: its header and the line after its last non-blank line.
struct SectionRange
{
    std::size_t header;
    std::size_t end;
    std::size_t afterLastEntry;
};

std::optional<SectionRange> FindSection(const std::vector<Line>& lines, const std::wstring& section)
{
    for (std::size_t i = 0; i < lines.size(); ++i)
    {
        auto name = SectionName(lines[i].text);
        if (!name || !EqualsIgnoringCase(*name, section))
        {
            continue;
        }
        SectionRange range{i, i + 1, i + 1};
        for (; range.end < lines.size() && !SectionName(lines[range.end].text); ++range.end)
        {
            if (!Trim(lines[range.end].text).empty())
            {
                range.afterLastEntry = range.end + 1;
            }
        }
        return range;
    }
    return std::nullopt;
}

std::optional<std::size_t> FindKey(const std::vector<Line>& lines, const SectionRange& range,
                                   const std::wstring& key)
{
    for (std::size_t i = range.header + 1; i < range.end; ++i)
    {
        if (auto entry = ParseKeyValue(lines[i].text); entry && EqualsIgnoringCase(entry->key, key))
        {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::wstring> FindValue(const std::string& contents, const std::wstring& section,
                                      const std::wstring& key)
{
    const auto lines = SplitLines(contents);
    const auto range = FindSection(lines, TrimName(section));
    const auto index = range ? FindKey(lines, *range, TrimName(key)) : std::nullopt;
    if (!index)
    {
        return std::nullopt;
    }
    return ToWideString(ParseKeyValue(lines[*index].text)->value);
}

bool HasLineBreak(const std::wstring& text)
{
    return text.find_first_of(L"\r\n") != std::wstring::npos;
}

// Writes the file beside the file path names (its links followed), flushed to disk, and renames
// it over that file, which keeps its mode. Anything but a regular file is never replaced.
bool ReplaceFile(const std::string& path, const std::string& contents, const std::function<void()>& hook)
{
    TemporaryFile file;
    if (file.CreateFor(path, 0644) != 0 || file.Write(contents.data(), contents.size()) != 0 ||
        file.Sync() != 0 || file.Close() != 0)
    {
        return false;
    }
    if (hook)
    {
        hook();
    }
    return file.Replace() == 0;
}

// The file's bytes: empty when there is no file, nothing when it exists but cannot be read (a
// write must then not replace it with a file that lacks everything it held).
std::optional<std::string> ReadWholeFile(const std::string& path)
{
    const Norvex::Core::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.Get() < 0)
    {
        return errno == ENOENT ? std::optional<std::string>(std::in_place) : std::nullopt;
    }
    // Only a regular file is read: a FIFO would block (hence O_NONBLOCK on the open) and a
    // folder fails the read; both count as unreadable, so nothing is written over them either.
    struct stat status = {};
    if (::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode))
    {
        return std::nullopt;
    }
    std::string contents;
    char buffer[65536];
    for (;;)
    {
        const ssize_t count = ::read(file.Get(), buffer, sizeof buffer);
        if (count == 0)
        {
            return contents;
        }
        if (count < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return std::nullopt;
        }
        contents.append(buffer, static_cast<std::size_t>(count));
    }
}

// The value of a digit in any base up to 36, or 36 for a character that is none.
std::uint32_t DigitValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
    {
        return static_cast<std::uint32_t>(c - L'0');
    }
    if (c >= L'a' && c <= L'z')
    {
        return static_cast<std::uint32_t>(c - L'a') + 10;
    }
    if (c >= L'A' && c <= L'Z')
    {
        return static_cast<std::uint32_t>(c - L'A') + 10;
    }
    return 36;
}

} // namespace

void ProfileFile::SetPath(std::wstring newPath)
{
    CriticalSection::AutoLock lock(fileSection);
    path = std::move(newPath);
}

void ProfileFile::SetBeforeReplaceHook(std::function<void()> hook)
{
    CriticalSection::AutoLock lock(fileSection);
    beforeReplace = std::move(hook);
}

std::optional<std::string> ProfileFile::Load() const
{
    return ReadWholeFile(ToUtf8(path));
}

std::wstring ProfileFile::LookUp(const std::string& contents, const std::wstring& section,
                                 const std::wstring& key, const std::wstring& defaultValue)
{
    if (auto value = FindValue(contents, section, key))
    {
        return std::move(*value);
    }
    // Windows hands back the default without its trailing spaces.
    return defaultValue.substr(0, defaultValue.find_last_not_of(L' ') + 1);
}

std::int32_t ProfileFile::ParseInt(const std::wstring& text, std::int32_t defaultValue)
{
    // The text ends at a NUL character, as a C string would.
    const std::wstring_view number(text.c_str());
    if (number.empty())
    {
        return defaultValue;
    }
    std::size_t i = 0;
    while (i < number.size() && static_cast<std::uint32_t>(number[i]) <= L' ')
    {
        ++i;
    }
    bool negative = false;
    if (i < number.size() && (number[i] == L'-' || number[i] == L'+'))
    {
        negative = number[i++] == L'-';
    }
    // Only lower-case prefixes choose a base; "0X1F" is the number 0 followed by junk.
    std::uint32_t base = 10;
    if (number.substr(i, 2) == L"0x")
    {
        base = 16;
    }
    else if (number.substr(i, 2) == L"0o")
    {
        base = 8;
    }
    else if (number.substr(i, 2) == L"0b")
    {
        base = 2;
    }
    if (base != 10)
    {
        i += 2;
    }
    // Wraps like the 32-bit arithmetic of the Windows reader instead of overflowing.
    std::uint32_t value = 0;
    for (; i < number.size() && DigitValue(number[i]) < base; ++i)
    {
        value = value * base + DigitValue(number[i]);
    }
    return static_cast<std::int32_t>(negative ? 0u - value : value);
}

std::string ProfileFile::Update(const std::string& contents, const std::wstring& section,
                                const std::wstring& key, const std::wstring& value)
{
    const auto lines = SplitLines(contents);
    std::string_view newline = "\n";
    if (!lines.empty() && !lines.front().terminator.empty())
    {
        newline = lines.front().terminator;
    }
    const auto sectionName = TrimName(section);
    const auto keyName = TrimName(key);
    // Windows drops the blanks before a value it writes; those after it go unread anyway.
    const auto firstNonBlank = value.find_first_not_of(L" \t\r\n\v\f");
    const auto newValue = ToUtf8(std::wstring_view(value).substr(std::min(firstNonBlank, value.size())));
    const std::string entry = ToUtf8(keyName) + "=" + newValue;

    std::optional<std::size_t> replace;
    std::size_t insertAt = lines.size();
    std::string insertion;
    if (const auto range = FindSection(lines, sectionName))
    {
        replace = FindKey(lines, *range, keyName);
        if (replace && ParseKeyValue(lines[*replace].text)->raw == newValue)
        {
            // Nothing to change: the file stays as it is, byte for byte.
            return contents;
        }
        insertAt = range->afterLastEntry;
        insertion = entry;
    }
    else
    {
        insertion = "[" + ToUtf8(sectionName) + "]" + std::string(newline) + entry;
    }

    std::string result;
    result.reserve(contents.size() + insertion.size() + 8);
    if (contents.starts_with(byteOrderMark))
    {
        result += byteOrderMark;
    }
    for (std::size_t i = 0; i <= lines.size(); ++i)
    {
        if (!replace && i == insertAt)
        {
            // A last line without its break gets one before the new lines follow it.
            if (i > 0 && lines[i - 1].terminator.empty() && !lines[i - 1].text.empty())
            {
                result += newline;
            }
            result += insertion;
            result += newline;
        }
        if (i == lines.size())
        {
            break;
        }
        if (replace && i == *replace)
        {
            // The key keeps its spelling in the file; only the value changes.
            const auto text = lines[i].text;
            result += std::string(Trim(text.substr(0, text.find('=')))) + "=" + newValue;
        }
        else
        {
            result += lines[i].text;
        }
        result += lines[i].terminator;
    }
    return result;
}

std::wstring ProfileFile::GetProfileString(const std::wstring& section, const std::wstring& key,
                                           const std::wstring& defaultValue) const
{
    CriticalSection::AutoLock lock(fileSection);
    return LookUp(Load().value_or(std::string()), section, key, defaultValue);
}

std::int32_t ProfileFile::GetProfileInt(const std::wstring& section, const std::wstring& key,
                                        std::int32_t defaultValue) const
{
    CriticalSection::AutoLock lock(fileSection);
    const auto text = FindValue(Load().value_or(std::string()), section, key);
    return text ? ParseInt(*text, defaultValue) : defaultValue;
}

bool ProfileFile::WriteProfileInt(const std::wstring& section, const std::wstring& key, std::int32_t value)
{
    return WriteProfileString(section, key, std::to_wstring(value));
}

bool ProfileFile::WriteProfileString(const std::wstring& section, const std::wstring& key,
                                     const std::wstring& value)
{
    // Text that would change the file's structure is refused rather than written: a name that is
    // empty once trimmed, a line break anywhere, a "]" that would end the header early, an "="
    // that would split the key, or a key that would read as a section header.
    const auto sectionName = TrimName(section);
    const auto keyName = TrimName(key);
    if (sectionName.empty() || HasLineBreak(sectionName) || sectionName.find(L']') != std::wstring::npos ||
        keyName.empty() || HasLineBreak(keyName) || keyName.find(L'=') != std::wstring::npos ||
        keyName.front() == L'[' || HasLineBreak(value))
    {
        return false;
    }
    CriticalSection::AutoLock lock(fileSection);
    if (path.empty())
    {
        return false;
    }
    const auto contents = Load();
    if (!contents)
    {
        return false;
    }
    const auto updated = Update(*contents, sectionName, keyName, value);
    return updated == *contents || ReplaceFile(ToUtf8(path), updated, beforeReplace);
}

} // namespace Norvex::Core
