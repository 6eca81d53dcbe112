#pragma once

#include "Plugin.h"

#include <Norvex/Core/ComPointer.h>
#include <Vistel/Framework/IHostServices.h>
#include <Vistel/Framework/IProcessor.h>
#include <Vistel/Framework/ProcessorBase.h>

#include <cstdint>
#include <memory>
#include <string>

namespace VistelCapture
{

// One selectable processor: a processor of a plug-in, or the built-in "なし". Idle until
// Initialize makes a fresh processor live; Finalize ends it. Used on the user-interface thread;
// the model serialises Initialize and Finalize with Process under its frame lock.
class ProcessorEntry
{
public:
    static constexpr const wchar_t* builtInName = L"なし";

    // The built-in processor: shows the device's frame unchanged, draws nothing, has no page.
    class DummyProcessor final : public Vistel::Framework::ProcessorBase
    {
    };

    // With a plug-in, the name is the one its factory gives for the index; without, "なし".
    ProcessorEntry(std::shared_ptr<Plugin> plugin, std::int32_t index);
    // Releases a processor still held before the plug-in reference, so its code is still there.
    ~ProcessorEntry() = default;
    ProcessorEntry(const ProcessorEntry&) = delete;
    ProcessorEntry& operator=(const ProcessorEntry&) = delete;

    // Creates the processor and initialises it with the host; nothing if one is live already. A
    // processor whose Initialize fails is kept (Finalize or the destructor ends it).
    void Initialize(Vistel::Framework::IHostServices* hostServices);
    // Finalizes and releases the processor; nothing if none is live. A processor whose Finalize
    // fails is kept.
    void Finalize();

    const std::shared_ptr<Plugin>& GetPlugin() const noexcept { return plugin; }
    std::int32_t GetIndex() const noexcept { return index; }
    const std::wstring& GetName() const noexcept { return name; }
    // The live processor, or null while the entry is idle.
    Vistel::Framework::IProcessor* GetProcessor() const noexcept { return processor.Get(); }

private:
    std::shared_ptr<Plugin> plugin;
    std::int32_t index;
    std::wstring name;
    Norvex::Core::ComPointer<Vistel::Framework::IProcessor> processor;
};

} // namespace VistelCapture
