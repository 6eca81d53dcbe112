#pragma once

#include <dlfcn.h>

#include <filesystem>
#include <string>

namespace VistelTest
{

// Where the build puts the test plug-ins: VistelThree.so, VistelEmpty.so, ...
inline std::filesystem::path TestPluginPath(const std::string& name)
{
    return std::filesystem::path(VISTEL_TEST_PLUGIN_FOLDER) / ("Vistel" + name + ".so");
}

// Copies a test plug-in into folder under fileName (its own inode, so its loading is its own).
inline std::filesystem::path CopyTestPlugin(const std::string& name, const std::filesystem::path& folder,
                                            const std::string& fileName)
{
    const auto target = folder / fileName;
    std::filesystem::copy_file(TestPluginPath(name), target);
    return target;
}

// Whether the library at this path is mapped into the process right now.
inline bool IsLoaded(const std::filesystem::path& path)
{
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (!handle)
    {
        return false;
    }
    ::dlclose(handle);
    return true;
}

} // namespace VistelTest
