#pragma once

#include <Norvex/Core/FileDescriptor.h>

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace Norvex::Core
{

// A file written beside its target and moved into place only when complete, so that readers see
// the old file or the whole new one, never a torn one. Removed unless it was moved. Operations
// return 0 or the errno value of the failure, so each caller reports it in its own terms.
//
// Only a regular file is ever replaced: a write never turns a device, FIFO, socket or folder into
// a regular file, and through a symbolic link it replaces the file the link names, never the link.
class TemporaryFile
{
public:
    // What ResolveTarget and CreateFor return when something other than a regular file stands at
    // the path; never an errno value.
    static constexpr int notRegularFile = -1;

    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();

    // The file a write to path replaces: path itself when nothing is there yet, otherwise the
    // end of its chain of symbolic links (which need not exist yet). 0, an errno value, or
    // notRegularFile.
    static int ResolveTarget(const std::string& path, std::string& target);

    // Creates "<target>.XXXXXX" with the given mode.
    int Create(const std::string& target, mode_t mode);
    // Creates the file beside the file a write to path replaces (ResolveTarget), with that file's
    // mode, or the given one for a new file; Replace() then moves it there.
    int CreateFor(const std::string& path, mode_t mode);
    int Write(const void* data, std::size_t size);
    int Sync();
    int Close();
    // Moves the file over the target of CreateFor.
    int Replace();
    // Gives the file the name unless a file of that name exists (EEXIST then).
    int PlaceNew(const std::string& name);

    int Descriptor() const noexcept { return file.Get(); }
    const std::string& Path() const noexcept { return path; }
    // Hands the descriptor to a library that closes it itself.
    int Release() noexcept { return file.Release(); }

private:
    std::string path;
    std::string target;
    FileDescriptor file;
    bool moved = false;
};

// Raises the refusal of a write to path because something other than a regular file is there.
[[noreturn]] void ThrowNotRegularFile(const std::string& path, const char* functionName,
                                      const wchar_t* sourceFileName, int lineNumber);

} // namespace Norvex::Core
