#pragma once

// The factory of the test plug-ins: a fixed list of processor names, optionally failing to name
// one of them, creating processors of one class.

#include <Vistel/Framework/IProcessorFactory.h>
#include <Vistel/Framework/ProcessorBase.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace VistelTest
{

using Norvex::Core::HRESULT;

template <class TProcessor> class TestFactory final : public Vistel::Framework::IProcessorFactory
{
public:
    explicit TestFactory(std::vector<std::wstring> names, std::int32_t failingNameIndex = -1)
        : names(std::move(names)), failingNameIndex(failingNameIndex)
    {
    }

    HRESULT QueryInterface(const Norvex::Core::IID& iid, void** object) override
    {
        if (!object)
        {
            return Norvex::Core::E_POINTER;
        }
        if (iid == Norvex::Core::IUnknown::Iid)
        {
            *object = static_cast<Norvex::Core::IUnknown*>(this);
            AddRef();
            return Norvex::Core::S_OK;
        }
        *object = nullptr;
        return Norvex::Core::E_NOINTERFACE;
    }
    Norvex::Core::ULONG AddRef() override { return ++referenceCount; }
    Norvex::Core::ULONG Release() override
    {
        const Norvex::Core::ULONG count = --referenceCount;
        if (count == 0)
        {
            delete this;
        }
        return count;
    }

    HRESULT GetProcessorCount(std::int32_t* count) override
    {
        if (!count)
        {
            return Norvex::Core::E_POINTER;
        }
        *count = static_cast<std::int32_t>(names.size());
        return Norvex::Core::S_OK;
    }

    HRESULT GetProcessorName(std::int32_t index, std::wstring& name) override
    {
        if (index < 0 || index >= static_cast<std::int32_t>(names.size()) || index == failingNameIndex)
        {
            return Norvex::Core::E_FAIL;
        }
        name = names[static_cast<std::size_t>(index)];
        return Norvex::Core::S_OK;
    }

    HRESULT CreateProcessor(std::int32_t index, Vistel::Framework::IProcessor** processor) override
    {
        if (!processor)
        {
            return Norvex::Core::E_POINTER;
        }
        *processor = nullptr;
        if (index < 0 || index >= static_cast<std::int32_t>(names.size()))
        {
            return Norvex::Core::E_FAIL;
        }
        // A processor class may be told which of the names it is.
        if constexpr (std::is_constructible_v<TProcessor, std::int32_t>)
        {
            *processor = new (std::nothrow) TProcessor(index);
        }
        else
        {
            *processor = new (std::nothrow) TProcessor();
        }
        return *processor ? Norvex::Core::S_OK : Norvex::Core::E_FAIL;
    }

private:
    ~TestFactory() = default;

    std::atomic<Norvex::Core::ULONG> referenceCount{1};
    std::vector<std::wstring> names;
    std::int32_t failingNameIndex;
};

// The body of a test plug-in's export.
template <class TProcessor>
HRESULT CreateTestFactory(Vistel::Framework::IProcessorFactory** factory, std::vector<std::wstring> names,
                          std::int32_t failingNameIndex = -1)
{
    if (!factory)
    {
        return Norvex::Core::E_POINTER;
    }
    *factory = new (std::nothrow) TestFactory<TProcessor>(std::move(names), failingNameIndex);
    return *factory ? Norvex::Core::S_OK : Norvex::Core::E_FAIL;
}

} // namespace VistelTest
