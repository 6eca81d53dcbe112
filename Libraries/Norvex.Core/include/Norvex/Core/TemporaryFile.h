#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace Norvex::Core
{

// A file written beside its target and moved into place only when complete, so that readers see
// the old file or the whole new one, never a torn one. Removed unless it was moved. Operations
// return 0 or the errno value of the failure, so each caller reports it in its own terms.
class TemporaryFile
{
public:
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();

    // Creates "<target>.XXXXXX" with the given mode.
    int Create(const std::string& target, mode_t mode);
    int Write(const void* data, std::size_t size);
    int Sync();
    int Close();
    // Moves the file to the target, replacing what is there.
    int Replace(const std::string& target);
    // Gives the file the name unless a file of that name exists (EEXIST then).
    int PlaceNew(const std::string& name);

    int Descriptor() const noexcept { return fd; }
    const std::string& Path() const noexcept { return path; }
    // Hands the descriptor to a library that closes it itself.
    int Release() noexcept;

private:
    std::string path;
    int fd = -1;
    bool moved = false;
};

} // namespace Norvex::Core
