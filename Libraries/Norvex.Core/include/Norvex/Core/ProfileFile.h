#pragma once

#include <Norvex/Core/CriticalSection.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace Norvex::Core
{

// A private-profile (INI) file with Windows semantics: sections and keys matched without regard
// to case or outer blanks, the first of duplicates winning, file order kept, new keys at the end
// of their section, integers read like GetPrivateProfileInt. Text is UTF-8; CR, LF and CR-LF each
// end a line. Every read sees the file as it is now; every write that changes something replaces
// the whole file atomically (temporary file, then rename), so a crash leaves either the old or the
// new file, and a write of the value already there leaves the file untouched. Safe to use from
// several threads.
class ProfileFile
{
public:
    ProfileFile() = default;
    explicit ProfileFile(std::wstring path) : path(std::move(path)) {}

    const std::wstring& GetPath() const noexcept { return path; }
    void SetPath(std::wstring newPath);

    std::int32_t GetProfileInt(const std::wstring& section, const std::wstring& key,
                               std::int32_t defaultValue) const;
    std::wstring GetProfileString(const std::wstring& section, const std::wstring& key,
                                  const std::wstring& defaultValue) const;
    // False when the file could not be written; the file then stays as it was.
    bool WriteProfileInt(const std::wstring& section, const std::wstring& key, std::int32_t value);
    bool WriteProfileString(const std::wstring& section, const std::wstring& key, const std::wstring& value);

    // Parsing on text, without a file: what the readers above do once the file is loaded.
    static std::wstring LookUp(const std::string& contents, const std::wstring& section,
                               const std::wstring& key, const std::wstring& defaultValue);
    static std::int32_t ParseInt(const std::wstring& text, std::int32_t defaultValue);
    // The contents after a write; the very same text when the value is already there.
    static std::string Update(const std::string& contents, const std::wstring& section,
                              const std::wstring& key, const std::wstring& value);

    // Called after the new contents are on disk and before the rename; for crash tests.
    void SetBeforeReplaceHook(std::function<void()> hook);

private:
    // Empty when there is no file; nothing when it exists but cannot be read.
    std::optional<std::string> Load() const;

    mutable CriticalSection fileSection; // guards path, hook and the file itself within this process; leaf
    std::wstring path;
    std::function<void()> beforeReplace;
};

} // namespace Norvex::Core
