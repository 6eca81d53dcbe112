#include "PluginDiscovery.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <fnmatch.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <system_error>

namespace VistelCapture
{
namespace
{

// More processors than any library has: a count above it is garbage (INT_MAX would make us
// allocate entries until memory runs out), so the library counts as broken.
constexpr std::int32_t maximumProcessorCount = 1024;

// Full paths of the candidate files, in name order. Only regular files (after following links)
// are taken: a FIFO or device with a matching name would block or misbehave in dlopen, and a
// directory, dangling link or link loop cannot be a library anyway.
std::vector<std::wstring> FindPluginFiles(const std::wstring& folder)
{
    namespace fs = std::filesystem;
    const fs::path directory(Norvex::Core::ToUtf8(folder));
    // A relative folder would make the result depend on the working directory.
    if (!directory.is_absolute())
    {
        return {};
    }
    std::error_code error;
    fs::directory_iterator iterator(directory, error);
    std::vector<std::string> names;
    for (; !error && iterator != fs::directory_iterator(); iterator.increment(error))
    {
        std::string name = iterator->path().filename().string();
        if (::fnmatch("Vistel*.so", name.c_str(), 0) != 0)
        {
            continue;
        }
        std::error_code statusError;
        if (iterator->is_regular_file(statusError))
        {
            names.push_back(std::move(name));
        }
    }
    std::sort(names.begin(), names.end());

    std::vector<std::wstring> paths;
    paths.reserve(names.size());
    for (const auto& name : names)
    {
        paths.push_back(Norvex::Core::ToWideString((directory / name).string()));
    }
    return paths;
}

} // namespace

std::vector<std::shared_ptr<ProcessorEntry>> DiscoverProcessorEntries(const std::wstring& folder)
{
    std::vector<std::shared_ptr<ProcessorEntry>> entries;
    entries.push_back(std::make_shared<ProcessorEntry>(nullptr, 0));
    for (const auto& path : FindPluginFiles(folder))
    {
        // Outlives the handler: an exception thrown by the library's code must be destroyed
        // before a library without entries is unloaded.
        std::shared_ptr<Plugin> plugin;
        try
        {
            plugin = std::make_shared<Plugin>(path);
            std::int32_t count = 0;
            Norvex::Core::ThrowIfFailed(plugin->GetFactory()->GetProcessorCount(&count), "MainModel",
                                        NORVEX_SOURCE_FILE, __LINE__);
            if (count > maximumProcessorCount)
            {
                continue;
            }
            for (std::int32_t index = 0; index < count; ++index)
            {
                entries.push_back(std::make_shared<ProcessorEntry>(plugin, index));
            }
        }
        catch (...)
        {
            // A broken library is skipped without a message; its entries made so far stay.
        }
    }
    return entries;
}

} // namespace VistelCapture
