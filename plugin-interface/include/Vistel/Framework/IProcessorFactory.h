#pragma once

// What a plug-in library exports: one factory that names and creates its processors. The slot
// order and argument lists are a binary contract with plug-ins built separately.

#include <Norvex/Core/Com.h>
#include <Vistel/Framework/IProcessor.h>

#include <cstdint>
#include <string>

namespace Vistel::Framework
{

class IProcessorFactory : public Norvex::Core::IUnknown
{
public:
    virtual Norvex::Core::HRESULT GetProcessorCount(std::int32_t* count) = 0;
    // Assigns the processor's display name to name.
    virtual Norvex::Core::HRESULT GetProcessorName(std::int32_t index, std::wstring& name) = 0;
    // On success the caller owns one reference to the new processor.
    virtual Norvex::Core::HRESULT CreateProcessor(std::int32_t index, IProcessor** processor) = 0;

protected:
    ~IProcessorFactory() = default;
};

// The library's one export, looked up by this plain name. On success the caller owns one
// reference to the factory.
using GetProcessorFactoryFunction = Norvex::Core::HRESULT (*)(IProcessorFactory** factory);
inline constexpr char GetProcessorFactoryName[] = "GetProcessorFactory";

} // namespace Vistel::Framework

// Declares the export with C linkage and default visibility, whatever the library's own default:
//   VISTEL_PLUGIN_EXPORT Norvex::Core::HRESULT GetProcessorFactory(Vistel::Framework::IProcessorFactory**);
#define VISTEL_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
