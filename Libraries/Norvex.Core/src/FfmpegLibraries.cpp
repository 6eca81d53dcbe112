#include "FfmpegLibraries.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <dlfcn.h>

#include <memory>
#include <string>

namespace Norvex::Core
{
namespace
{

struct LibraryCloser
{
    void operator()(void* handle) const noexcept { ::dlclose(handle); }
};

template <typename Functions> struct Library
{
    std::unique_ptr<void, LibraryCloser> handle;
    Functions functions;
    std::string error; // empty once every function is found
};

// Opens `file` and finds its functions. A library of another major version than the headers
// describe would take the same calls with other structure layouts, so it counts as missing.
template <typename Functions, typename Resolve, typename Version>
Library<Functions> Open(const char* file, unsigned headersMajor, Resolve resolve, Version version)
{
    Library<Functions> library;
    // RTLD_NODELETE: the library stays mapped past the handle's dlclose at exit, so that what
    // its globals still hold then (x264's and the codecs' tables) is neither unmapped under a
    // thread nor taken for a leak.
    library.handle.reset(::dlopen(file, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
    if (!library.handle)
    {
        const char* error = ::dlerror();
        library.error = error ? error : file;
    }
    else if (const char* missing = resolve(library.handle.get(), library.functions))
    {
        library.error = std::string(file) + ": " + missing + " is missing";
    }
    else if (AV_VERSION_MAJOR(version(library.functions)) != headersMajor)
    {
        library.error = std::string(file) + " is not the version the program was built for";
    }
    return library;
}

#define NORVEX_RESOLVE_FUNCTION(name)                                                                        \
    functions.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name));                            \
    if (!functions.name)                                                                                     \
    {                                                                                                        \
        return #name;                                                                                        \
    }

const Library<FfmpegLibraries::Codecs>& CodecLibrary()
{
    static const auto library = Open<FfmpegLibraries::Codecs>(
        "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR), LIBAVCODEC_VERSION_MAJOR,
        [](void* handle, FfmpegLibraries::Codecs& functions) -> const char*
        {
            NORVEX_LIBAVCODEC_FUNCTIONS(NORVEX_RESOLVE_FUNCTION)
            return nullptr;
        },
        [](const FfmpegLibraries::Codecs& functions) { return functions.avcodec_version(); });
    return library;
}

const Library<FfmpegLibraries::Formats>& FormatLibrary()
{
    static const auto library = Open<FfmpegLibraries::Formats>(
        "libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR), LIBAVFORMAT_VERSION_MAJOR,
        [](void* handle, FfmpegLibraries::Formats& functions) -> const char*
        {
            NORVEX_LIBAVFORMAT_FUNCTIONS(NORVEX_RESOLVE_FUNCTION)
            return nullptr;
        },
        [](const FfmpegLibraries::Formats& functions) { return functions.avformat_version(); });
    return library;
}

#undef NORVEX_RESOLVE_FUNCTION

template <typename Functions>
const Functions& Loaded(const Library<Functions>& library, const char* functionName, int lineNumber)
{
    if (!library.error.empty())
    {
        throw Exception(L"FFmpeg: " + ToWideString(library.error) + L"\n", functionName, NORVEX_SOURCE_FILE,
                        lineNumber);
    }
    return library.functions;
}

} // namespace

const FfmpegLibraries::Codecs& FfmpegLibraries::GetCodecs(const char* functionName)
{
    return Loaded(CodecLibrary(), functionName, __LINE__);
}

const FfmpegLibraries::Formats& FfmpegLibraries::GetFormats(const char* functionName)
{
    return Loaded(FormatLibrary(), functionName, __LINE__);
}

const FfmpegLibraries::Codecs* FfmpegLibraries::FindCodecs() noexcept
{
    const auto& library = CodecLibrary();
    return library.error.empty() ? &library.functions : nullptr;
}

const FfmpegLibraries::Formats* FfmpegLibraries::FindFormats() noexcept
{
    const auto& library = FormatLibrary();
    return library.error.empty() ? &library.functions : nullptr;
}

} // namespace Norvex::Core
