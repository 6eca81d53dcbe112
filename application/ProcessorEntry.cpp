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
        Norvex::Core::HRESULT status = Norvex::Core::E_FAIL;
        try
        {
            status = plugin->GetFactory()->CreateProcessor(index, &created);
        }
        catch (...)
        {
            // The library's own exception must not reach the event loop (it would end the
            // program); the library stays loaded while this entry lives, so converting is safe.
            throw Norvex::Core::Exception(L"プロセッサー「" + name + L"」を作成できませんでした。\n",
                                          "Initialize", NORVEX_SOURCE_FILE, __LINE__);
        }
        ThrowIfFailed(status, "Initialize", NORVEX_SOURCE_FILE, __LINE__);
        if (!created)
        {
            throw Norvex::Core::Exception(Norvex::Core::E_POINTER, "Initialize", NORVEX_SOURCE_FILE,
                                          __LINE__);
        }
        processor.Attach(created);
    }
    else
    {
        processor.Attach(new DummyProcessor());
    }
    ThrowIfFailed(processor->Initialize(hostServices), "Initialize", NORVEX_SOURCE_FILE, __LINE__);
}

void ProcessorEntry::Finalize()
{
    if (!processor)
    {
        return;
    }
    ThrowIfFailed(processor->Finalize(), "Finalize", NORVEX_SOURCE_FILE, __LINE__);
    processor.Release();
}

} // namespace VistelCapture
