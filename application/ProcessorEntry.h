#pragma once

#include "Plugin.h"
#include "ProcessorFailure.h"

#include <Norvex/Core/ComPointer.h>
#include <Vistel/Framework/IHostServices.h>
#include <Vistel/Framework/IProcessor.h>
#include <Vistel/Framework/ProcessorBase.h>

#include <Norvex/Core/StringHelpers.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
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
    // processor whose Initialize fails is kept (Finalize, Abandon or the destructor ends it). Every
    // failure of the plug-in is raised as a ProcessorFailure.
    void Initialize(Vistel::Framework::IHostServices* hostServices);
    // Finalizes and releases the processor; nothing if none is live. A processor whose Finalize
    // fails is kept.
    void Finalize();
    // Ends a processor that failed: its Finalize is still called, and whatever that does, the
    // processor is released.
    void Abandon() noexcept;

    // Calls into the live processor; call(processor) returns the processor's status. A failure
    // status, or any exception out of the plug-in's code, is raised as a ProcessorFailure naming
    // this entry (the plug-in's own exception is gone by then, so its library may be unloaded).
    template <class Call> void Invoke(const char* function, Call&& call) const
    {
        Invoke(function, function, [&] { return call(*processor); });
    }

    const std::shared_ptr<Plugin>& GetPlugin() const noexcept { return plugin; }
    std::int32_t GetIndex() const noexcept { return index; }
    const std::wstring& GetName() const noexcept { return name; }
    // The live processor, or null while the entry is idle.
    Vistel::Framework::IProcessor* GetProcessor() const noexcept { return processor.Get(); }

private:
    template <class Call> void Invoke(const char* call, const char* functionName, Call&& run) const
    {
        Norvex::Core::HRESULT status = Norvex::Core::S_OK;
        std::optional<std::wstring> thrown;
        try
        {
            status = run();
        }
        catch (const std::exception& exception)
        {
            thrown = Norvex::Core::ToWideString(exception.what());
        }
        catch (...)
        {
            thrown = L"不明な例外";
        }
        if (thrown)
        {
            throw ProcessorFailure(*this, call, Norvex::Core::E_FAIL, L"例外: " + *thrown, functionName,
                                   NORVEX_SOURCE_FILE, __LINE__);
        }
        if (Norvex::Core::FAILED(status))
        {
            throw ProcessorFailure(*this, call, status, Norvex::Core::FormatStatusMessage(status),
                                   functionName, NORVEX_SOURCE_FILE, __LINE__);
        }
    }

    std::shared_ptr<Plugin> plugin;
    std::int32_t index;
    std::wstring name;
    Norvex::Core::ComPointer<Vistel::Framework::IProcessor> processor;
};

} // namespace VistelCapture
