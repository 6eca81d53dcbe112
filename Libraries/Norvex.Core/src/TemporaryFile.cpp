#include <Norvex/Core/TemporaryFile.h>

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

namespace Norvex::Core
{

TemporaryFile::~TemporaryFile()
{
    file.Reset();
    if (!path.empty() && !moved)
    {
        ::unlink(path.c_str());
    }
}

int TemporaryFile::Create(const std::string& target, mode_t mode)
{
    std::string name = target + ".XXXXXX";
    const int created = ::mkstemp(name.data());
    if (created < 0)
    {
        return errno;
    }
    file.Reset(created);
    path = std::move(name);
    return ::fchmod(file.Get(), mode) == 0 ? 0 : errno;
}

int TemporaryFile::ResolveTarget(const std::string& path, std::string& target)
{
    // The kernel's own limit on links followed in one look-up.
    constexpr int maximumLinks = 40;
    std::string current = path;
    for (int links = 0;; ++links)
    {
        struct stat status = {};
        if (::lstat(current.c_str(), &status) != 0)
        {
            if (errno != ENOENT)
            {
                return errno;
            }
            // A new file (or a folder missing on the way, which the creation reports).
            target = std::move(current);
            return 0;
        }
        if (S_ISREG(status.st_mode))
        {
            target = std::move(current);
            return 0;
        }
        if (!S_ISLNK(status.st_mode))
        {
            return notRegularFile;
        }
        if (links == maximumLinks)
        {
            return ELOOP;
        }
        char buffer[PATH_MAX];
        const ssize_t length = ::readlink(current.c_str(), buffer, sizeof buffer);
        if (length < 0)
        {
            return errno;
        }
        if (static_cast<std::size_t>(length) == sizeof buffer)
        {
            return ENAMETOOLONG;
        }
        const std::string link(buffer, static_cast<std::size_t>(length));
        // A relative link names a file beside the link itself.
        const auto slash = current.rfind('/');
        current =
            link.starts_with('/') || slash == std::string::npos ? link : current.substr(0, slash + 1) + link;
    }
}

int TemporaryFile::CreateFor(const std::string& destination, mode_t mode)
{
    if (const int error = ResolveTarget(destination, target))
    {
        return error;
    }
    // The file replaced keeps its permissions.
    struct stat existing = {};
    if (::stat(target.c_str(), &existing) == 0)
    {
        mode = existing.st_mode & 07777;
    }
    return Create(target, mode);
}

int TemporaryFile::Write(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0)
    {
        const ssize_t written = ::write(file.Get(), bytes, size);
        if (written < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return errno;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

int TemporaryFile::Sync()
{
    return ::fsync(file.Get()) == 0 ? 0 : errno;
}

int TemporaryFile::Close()
{
    return file.Close();
}

int TemporaryFile::Replace()
{
    if (const int error = Close())
    {
        return error;
    }
    if (::rename(path.c_str(), target.c_str()) != 0)
    {
        return errno;
    }
    moved = true;
    return 0;
}

int TemporaryFile::PlaceNew(const std::string& name)
{
    if (const int error = Close())
    {
        return error;
    }
    // link never replaces; the temporary name goes with the destructor.
    return ::link(path.c_str(), name.c_str()) == 0 ? 0 : errno;
}

void ThrowNotRegularFile(const std::string& path, const char* functionName, const wchar_t* sourceFileName,
                         int lineNumber)
{
    throw Exception(L"「" + ToWideString(path) + L"」は通常のファイルではないため、書き込めません。\n",
                    functionName, sourceFileName, lineNumber);
}

} // namespace Norvex::Core
