#include "Plugin.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/FileDescriptor.h>
#include <Norvex/Core/StringHelpers.h>

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace VistelCapture
{

using Norvex::Core::E_POINTER;
using Norvex::Core::Exception;

namespace
{

#if defined(__x86_64__)
constexpr Elf64_Half nativeMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr Elf64_Half nativeMachine = EM_AARCH64;
#else
#error "add the ELF machine of this processor"
#endif

bool ReadAt(int fd, void* buffer, std::size_t size, off_t offset)
{
    return ::pread(fd, buffer, size, offset) == static_cast<ssize_t>(size);
}

// Whether the file is a whole shared library for this machine. dlopen maps the segments the
// program headers name; a half-copied file has them past its end, and touching such a page
// kills the process with SIGBUS instead of failing the load. (A file cut while we look cannot be
// caught this way; copying a library over a loaded one is no safer.)
bool IsWholeSharedLibrary(const std::string& path)
{
    const Norvex::Core::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status = {};
    if (file.Get() < 0 || ::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode))
    {
        return false;
    }
    const auto size = static_cast<std::uint64_t>(status.st_size);
    const auto inside = [size](std::uint64_t offset, std::uint64_t length)
    {
        return offset <= size && length <= size - offset;
    };

    Elf64_Ehdr header = {};
    if (!ReadAt(file.Get(), &header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
        header.e_type != ET_DYN || header.e_machine != nativeMachine ||
        header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0 ||
        !inside(header.e_phoff, std::uint64_t(header.e_phnum) * sizeof(Elf64_Phdr)) ||
        // The section headers come last in a linked library: a copy cut anywhere lacks them.
        !inside(header.e_shoff, std::uint64_t(header.e_shnum) * header.e_shentsize))
    {
        return false;
    }
    std::vector<Elf64_Phdr> segments(header.e_phnum);
    if (!ReadAt(file.Get(), segments.data(), segments.size() * sizeof(Elf64_Phdr),
                static_cast<off_t>(header.e_phoff)))
    {
        return false;
    }
    return std::all_of(segments.begin(), segments.end(),
                       [&](const Elf64_Phdr& segment)
                       { return segment.p_type != PT_LOAD || inside(segment.p_offset, segment.p_filesz); });
}

} // namespace

void Plugin::ModuleCloser::operator()(void* handle) const noexcept
{
    ::dlclose(handle);
}

Plugin::Plugin(const std::wstring& path) : path(path)
{
    // A name without a folder would make dlopen search the library path, and a relative one
    // would depend on the working directory: only the given file is ever loaded.
    if (path.empty() || path.front() != L'/')
    {
        throw Exception(E_POINTER, "Plugin", NORVEX_SOURCE_FILE, __LINE__);
    }
    const std::string file = Norvex::Core::ToUtf8(path);
    if (!IsWholeSharedLibrary(file))
    {
        throw Exception(E_POINTER, "Plugin", NORVEX_SOURCE_FILE, __LINE__);
    }
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
    {
        throw Exception(E_POINTER, "Plugin", NORVEX_SOURCE_FILE, __LINE__);
    }
    // Whatever fails is rethrown as our own exception after unloading: an exception object made
    // by the library must be gone before its code is unmapped.
    std::optional<Exception> failure;
    try
    {
        auto getProcessorFactory = reinterpret_cast<Vistel::Framework::GetProcessorFactoryFunction>(
            ::dlsym(handle, Vistel::Framework::GetProcessorFactoryName));
        if (!getProcessorFactory)
        {
            throw Exception(E_POINTER, "Plugin", NORVEX_SOURCE_FILE, __LINE__);
        }
        Vistel::Framework::IProcessorFactory* created = nullptr;
        Norvex::Core::ThrowIfFailed(getProcessorFactory(&created), "Plugin", NORVEX_SOURCE_FILE, __LINE__);
        // A factory that reports success without an object would fail at its first use.
        if (!created)
        {
            throw Exception(E_POINTER, "Plugin", NORVEX_SOURCE_FILE, __LINE__);
        }
        factory.Attach(created);
    }
    catch (const Exception& exception)
    {
        failure = exception;
    }
    catch (...)
    {
        failure.emplace(Norvex::Core::E_FAIL, "Plugin", NORVEX_SOURCE_FILE, __LINE__);
    }
    if (failure)
    {
        if (::dlclose(handle) != 0)
        {
            Norvex::Core::ThrowUnexpected("Plugin", NORVEX_SOURCE_FILE, __LINE__);
        }
        throw *failure;
    }
    module.reset(handle);
}

} // namespace VistelCapture
