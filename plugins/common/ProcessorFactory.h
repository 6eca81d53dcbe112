#pragma once

// The factory of a plug-in library that offers a fixed list of processors: a static object that
// lives as long as the library, so its references need no counting.

#include <Vistel/Framework/IProcessorFactory.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace Vistel::Plugins
{

struct ProcessorDescription
{
    const wchar_t* name;
    // Returns a new processor with one reference, or null when memory is short.
    Vistel::Framework::IProcessor* (*create)();
};

template <std::size_t count> class ProcessorFactory final : public Vistel::Framework::IProcessorFactory
{
public:
    constexpr explicit ProcessorFactory(const ProcessorDescription (&table)[count]) : table(table) {}

    Norvex::Core::HRESULT QueryInterface(const Norvex::Core::IID& iid, void** object) override
    {
        if (!object)
        {
            return Norvex::Core::E_POINTER;
        }
        *object = iid == Norvex::Core::IUnknown::Iid ? this : nullptr;
        return *object ? Norvex::Core::S_OK : Norvex::Core::E_NOINTERFACE;
    }
    Norvex::Core::ULONG AddRef() override { return 1; }
    Norvex::Core::ULONG Release() override { return 1; }

    Norvex::Core::HRESULT GetProcessorCount(std::int32_t* result) override
    {
        if (!result)
        {
            return Norvex::Core::E_POINTER;
        }
        *result = static_cast<std::int32_t>(count);
        return Norvex::Core::S_OK;
    }

    Norvex::Core::HRESULT GetProcessorName(std::int32_t index, std::wstring& name) override
    {
        if (index < 0 || static_cast<std::size_t>(index) >= count)
        {
            return Norvex::Core::E_FAIL;
        }
        try
        {
            name = table[index].name;
        }
        catch (...)
        {
            return Norvex::Core::E_FAIL;
        }
        return Norvex::Core::S_OK;
    }

    Norvex::Core::HRESULT CreateProcessor(std::int32_t index,
                                          Vistel::Framework::IProcessor** processor) override
    {
        if (!processor)
        {
            return Norvex::Core::E_POINTER;
        }
        *processor = index >= 0 && static_cast<std::size_t>(index) < count ? table[index].create() : nullptr;
        return *processor ? Norvex::Core::S_OK : Norvex::Core::E_FAIL;
    }

private:
    const ProcessorDescription (&table)[count];
};

// For ProcessorDescription::create.
template <class TProcessor> Vistel::Framework::IProcessor* CreateProcessor()
{
    return new (std::nothrow) TProcessor();
}

} // namespace Vistel::Plugins
