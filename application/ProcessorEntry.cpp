#include "ProcessorEntry.h"

#include <Norvex/Core/Exception.h>

#include <utility>

namespace VistelCapture
{

using Norvex::Core::ThrowIfFailed;

ProcessorEntry::ProcessorEntry(std::shared_ptr<Plugin> plugin, std::int32_t index)
    : plugin(std::move(plugin)), index(index)
{
    if (this->plugin)
    {
        ThrowIfFailed(this->plugin->GetFactory()->GetProcessorName(index, name), "ProcessorEntry",
                      NORVEX_SOURCE_FILE, __LINE__);
    }
    else
    {
        name = builtInName;
    }
}

void ProcessorEntry::Initialize(Vistel::Framework::IHostServices* hostServices)
{
    if (processor)
    {
        return;
    }
    if (plugin)
    {
        // Only a successful call hands over a reference; on failure the out value is not ours.
        Vistel::Framework::IProcessor* created = nullptr;
        Invoke("CreateProcessor", "Initialize",
               [&] { return plugin->GetFactory()->CreateProcessor(index, &created); });
        if (!created)
        {
            // Success without an object would fail at the first use.
            throw ProcessorFailure(*this, "CreateProcessor", Norvex::Core::E_POINTER,
                                   Norvex::Core::FormatStatusMessage(Norvex::Core::E_POINTER), "Initialize",
                                   NORVEX_SOURCE_FILE, __LINE__);
        }
        processor.Attach(created);
    }
    else
    {
        processor.Attach(new DummyProcessor());
    }
    Invoke("Initialize", [&](Vistel::Framework::IProcessor& live) { return live.Initialize(hostServices); });
}

void ProcessorEntry::Finalize()
{
    if (!processor)
    {
        return;
    }
    Invoke("Finalize", [](Vistel::Framework::IProcessor& live) { return live.Finalize(); });
    processor.Release();
}

void ProcessorEntry::Abandon() noexcept
{
    try
    {
        Finalize();
    }
    catch (...)
    {
    }
    processor.Release();
}

} // namespace VistelCapture
