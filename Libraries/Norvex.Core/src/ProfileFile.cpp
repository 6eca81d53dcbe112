#include <Norvex/Core/ProfileFile.h>
#include <Norvex/Core/StringHelpers.h>
#include <Norvex/Core/TemporaryFile.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cwctype>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

namespace Norvex::Core
{
namespace
{

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

struct Line
{
    std::string_view text;       // without its line break
    std::string_view terminator; // "\n", "\r\n" or empty at the end of the file
};

std::vector<Line> SplitLines(std::string_view contents)
{
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < contents.size())
    {
        const auto newline = contents.find('\n', start);
        if (newline == std::string_view::npos)
        {
            lines.push_back({contents.substr(start), {}});
            break;
        }
        std::size_t end = newline;
        if (end > start && contents[end - 1] == '\r')
        {
            --end;
        }
        lines.push_back({contents.substr(start, end - start), contents.substr(end, newline + 1 - end)});
        start = newline + 1;
    }
    if (!lines.empty() && lines.front().text.starts_with(byteOrderMark))
    {
        lines.front().text.remove_prefix(byteOrderMark.size());
    }
    return lines;
}

std::string_view Trim(std::string_view text)
{
    const auto blank = [](char c)
    {
        return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
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
    std::wstring key;
    std::string_view value;
};

std::optional<KeyValue> ParseKeyValue(std::string_view line)
{
    const auto equals = line.find('=');
    if (equals == std::string_view::npos)
    {
        return std::nullopt;
    }
    const auto key = Trim(line.substr(0, equals));
    if (key.empty())
    {
        return std::nullopt;
    }
    auto value = Trim(line.substr(equals + 1));
    // Windows drops one pair of matching quotes around a value.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    {
        value = value.substr(1, value.size() - 2);
    }
    return KeyValue{ToWideString(key), value};
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
    const auto range = FindSection(lines, section);
    const auto index = range ? FindKey(lines, *range, key) : std::nullopt;
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

// Writes the file beside the target, flushed to disk, and renames it over the target; the file
// keeps its mode.
bool ReplaceFile(const std::string& target, const std::string& contents, const std::function<void()>& hook)
{
    struct stat existing
    {
    };
    const mode_t mode = ::stat(target.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
    TemporaryFile file;
    if (file.Create(target, mode) != 0 || file.Write(contents.data(), contents.size()) != 0 ||
        file.Sync() != 0 || file.Close() != 0)
    {
        return false;
    }
    if (hook)
    {
        hook();
    }
    return file.Replace(target) == 0;
}

std::string ResolveLinks(const std::string& path)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

} // namespace

void ProfileFile::SetPath(std::wstring newPath)
{
    std::lock_guard lock(mutex);
    path = std::move(newPath);
}

void ProfileFile::SetBeforeReplaceHook(std::function<void()> hook)
{
    std::lock_guard lock(mutex);
    beforeReplace = std::move(hook);
}

std::string ProfileFile::Load() const
{
    // Only a regular file is read: a FIFO would block the open (hence O_NONBLOCK) and a folder
    // fails the read; both read as missing.
    struct Descriptor
    {
        int fd;
        ~Descriptor()
        {
            if (fd >= 0)
            {
                ::close(fd);
            }
        }
    } const file{::open(ToUtf8(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    const int fd = file.fd;
    if (fd < 0)
    {
        return {};
    }
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
    {
        return {};
    }
    std::string contents;
    char buffer[65536];
    for (;;)
    {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
        {
            continue;
        }
        if (count <= 0)
        {
            return count == 0 ? contents : std::string();
        }
        contents.append(buffer, static_cast<std::size_t>(count));
    }
}

std::wstring ProfileFile::LookUp(const std::string& contents, const std::wstring& section,
                                 const std::wstring& key, const std::wstring& defaultValue)
{
    return FindValue(contents, section, key).value_or(defaultValue);
}

std::int32_t ProfileFile::ParseInt(const std::wstring& text, std::int32_t defaultValue)
{
    if (text.empty())
    {
        return defaultValue;
    }
    std::size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || text[i] == L'\t'))
    {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+'))
    {
        negative = text[i++] == L'-';
    }
    // Wraps like the 32-bit arithmetic of the Windows reader instead of overflowing.
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i)
    {
        value = value * 10u + static_cast<std::uint32_t>(text[i] - L'0');
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
    const std::string entry = ToUtf8(key) + "=" + ToUtf8(value);

    std::optional<std::size_t> replace;
    std::size_t insertAt = lines.size();
    std::string insertion;
    if (const auto range = FindSection(lines, section))
    {
        replace = FindKey(lines, *range, key);
        insertAt = range->afterLastEntry;
        insertion = entry;
    }
    else
    {
        insertion = "[" + ToUtf8(section) + "]" + std::string(newline) + entry;
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
            if (!result.empty() && !result.ends_with('\n') && result != byteOrderMark)
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
            const auto equals = text.find('=');
            result += std::string(Trim(text.substr(0, equals))) + "=" + ToUtf8(value);
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
    std::lock_guard lock(mutex);
    return LookUp(Load(), section, key, defaultValue);
}

std::int32_t ProfileFile::GetProfileInt(const std::wstring& section, const std::wstring& key,
                                        std::int32_t defaultValue) const
{
    std::lock_guard lock(mutex);
    const auto text = FindValue(Load(), section, key);
    return text ? ParseInt(*text, defaultValue) : defaultValue;
}

bool ProfileFile::WriteProfileInt(const std::wstring& section, const std::wstring& key, std::int32_t value)
{
    return WriteProfileString(section, key, std::to_wstring(value));
}

bool ProfileFile::WriteProfileString(const std::wstring& section, const std::wstring& key,
                                     const std::wstring& value)
{
    // Text that would change the file's structure is refused rather than written.
    const auto narrowKey = ToUtf8(key);
    if (section.empty() || HasLineBreak(section) || section.find(L']') != std::wstring::npos ||
        narrowKey.empty() || Trim(narrowKey) != narrowKey || key.find(L'=') != std::wstring::npos ||
        HasLineBreak(key) || HasLineBreak(value))
    {
        return false;
    }
    std::lock_guard lock(mutex);
    if (path.empty())
    {
        return false;
    }
    const auto contents = Load();
    return ReplaceFile(ResolveLinks(ToUtf8(path)), Update(contents, section, key, value), beforeReplace);
}

} // namespace Norvex::Core
