#include "Plugin.h"

#include <Norvex/Core/Exception.h>
#include <Norvex/Core/StringHelpers.h>

#include <dlfcn.h>

#include <optional>

namespace VistelCapture
{

using Norvex::Core::E_POINTER;
using Norvex::Core::Exception;

void Plugin::ModuleCloser::operator()(void* handle) const noexcept
{
    ::dlclose(handle);
}

Plugin::Plugin(const std::wstring& path)
{
    // A name without a folder would make dlopen search the library path, and a relative one
    // would depend on the working directory: only the given file is ever loaded.
    if (path.empty() || path.front() != L'/')
    {
        throw Exception(E_POINTER, "Plugin", NORVEX_SOURCE_FILE, __LINE__);
    }
    void* handle = ::dlopen(Norvex::Core::ToUtf8(path).c_str(), RTLD_NOW | RTLD_LOCAL);
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
