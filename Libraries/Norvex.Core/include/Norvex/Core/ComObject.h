#pragma once

#include <Norvex/Core/Com.h>

#include <atomic>

namespace Norvex::Core
{

// Reference counting and QueryInterface for an object that implements one COM-style interface.
// Starts with one reference, owned by whoever created it; deletes itself at zero.
template <class TInterface> class ComObject : public TInterface
{
public:
    HRESULT QueryInterface(const IID& iid, void** object) override
    {
        if (!object)
        {
            return E_POINTER;
        }
        if (iid == IUnknown::Iid || iid == TInterface::Iid)
        {
            *object = static_cast<TInterface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    ULONG AddRef() override { return references.fetch_add(1, std::memory_order_relaxed) + 1; }

    ULONG Release() override
    {
        const ULONG left = references.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
        {
            delete this;
        }
        return left;
    }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;

private:
    std::atomic<ULONG> references{1};
};

} // namespace Norvex::Core
