#pragma once

#include <Norvex/Core/ComPointer.h>
#include <Vistel/Framework/IProcessorFactory.h>

#include <memory>
#include <string>

namespace VistelCapture
{

// One loaded plug-in library and its processor factory. Owned through shared pointers by the
// processor entries made from it, so the library stays mapped while any of them lives. Loading
// and unloading happen on the user-interface thread only.
class Plugin
{
public:
    // Loads the library at an absolute path (nothing is searched) and takes its factory.
    explicit Plugin(const std::wstring& path);
    // Releases the factory, then unloads the library.
    ~Plugin() = default;
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    Vistel::Framework::IProcessorFactory* GetFactory() const noexcept { return factory.Get(); }
    // The library's file, as loaded.
    const std::wstring& GetPath() const noexcept { return path; }

private:
    struct ModuleCloser
    {
        // A failure to unload cannot be reported from a destructor; the library just stays.
        void operator()(void* handle) const noexcept;
    };

    std::wstring path;
    // Declared before the factory, so that the factory is released while the code still exists.
    std::unique_ptr<void, ModuleCloser> module;
    Norvex::Core::ComPointer<Vistel::Framework::IProcessorFactory> factory;
};

} // namespace VistelCapture
