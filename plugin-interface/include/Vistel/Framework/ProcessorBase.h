#pragma once

// The default processor: reference counting, QueryInterface, holding the host, and harmless
// answers to everything else. Processors derive from it and override what they need.

#include <Norvex/Core/Com.h>
#include <Vistel/Framework/IHostServices.h>
#include <Vistel/Framework/IProcessor.h>

#include <atomic>
#include <cstdint>

namespace Vistel::Framework
{

class ProcessorBase : public IProcessor
{
public:
    ProcessorBase() = default;
    ProcessorBase(const ProcessorBase&) = delete;
    ProcessorBase& operator=(const ProcessorBase&) = delete;

    Norvex::Core::HRESULT QueryInterface(const Norvex::Core::IID& iid, void** object) override
    {
        if (!object)
        {
            return Norvex::Core::E_POINTER;
        }
        if (iid == Norvex::Core::IUnknown::Iid || iid == IProcessor::Iid)
        {
            *object = static_cast<IProcessor*>(this);
            AddRef();
            return Norvex::Core::S_OK;
        }
        *object = nullptr;
        return Norvex::Core::E_NOINTERFACE;
    }

    Norvex::Core::ULONG AddRef() override
    {
        return static_cast<Norvex::Core::ULONG>(referenceCount.fetch_add(1, std::memory_order_relaxed) + 1);
    }

    Norvex::Core::ULONG Release() override
    {
        // acq_rel: whatever other owners wrote happens before the destructor runs.
        const std::int32_t count = referenceCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (count == 0)
        {
            delete this;
        }
        return static_cast<Norvex::Core::ULONG>(count);
    }

    Norvex::Core::HRESULT Initialize(IHostServices* hostServices) override
    {
        if (!hostServices)
        {
            return Norvex::Core::E_POINTER;
        }
        if (hostServices != host)
        {
            hostServices->AddRef();
            if (host)
            {
                host->Release();
            }
            host = hostServices;
        }
        return Norvex::Core::S_OK;
    }

    Norvex::Core::HRESULT Finalize() override
    {
        ReleaseHost();
        return Norvex::Core::S_OK;
    }

    Norvex::Core::HRESULT CreateControlPanel(QWidget*, QWidget** window) override
    {
        if (!window)
        {
            return Norvex::Core::E_POINTER;
        }
        *window = nullptr;
        return Norvex::Core::S_OK;
    }

    // The unprocessed frame; nothing before Initialize.
    const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>* GetImage() override
    {
        return host ? host->GetSourceImage() : nullptr;
    }

    Norvex::Core::HRESULT Process() override { return Norvex::Core::S_OK; }
    Norvex::Core::HRESULT Reset() override { return Norvex::Core::S_OK; }
    Norvex::Core::HRESULT OnDraw2d(QPainter*, double) override { return Norvex::Core::S_OK; }
    Norvex::Core::HRESULT OnRecreated2dResources(QPainter*) override { return Norvex::Core::S_OK; }
    Norvex::Core::HRESULT OnMouseEnter() override { return Norvex::Core::S_OK; }
    Norvex::Core::HRESULT OnMouseLeave() override { return Norvex::Core::S_OK; }

    Norvex::Core::HRESULT OnLButtonDown(std::uint32_t, const Point2F*, bool* captureMouse) override
    {
        if (captureMouse)
        {
            *captureMouse = false;
        }
        return Norvex::Core::S_OK;
    }

    Norvex::Core::HRESULT OnLButtonUp(std::uint32_t, const Point2F*) override { return Norvex::Core::S_OK; }
    Norvex::Core::HRESULT OnMouseMove(std::uint32_t, const Point2F*) override { return Norvex::Core::S_OK; }
    Norvex::Core::HRESULT OnHostStateChanged(std::int32_t) override { return Norvex::Core::S_OK; }

protected:
    ~ProcessorBase() override { ReleaseHost(); }

    // The host held since Initialize, or null.
    IHostServices* GetHostServices() const noexcept { return host; }

private:
    void ReleaseHost() noexcept
    {
        if (IHostServices* old = host)
        {
            host = nullptr;
            old->Release();
        }
    }

    // Atomic: the host may add and drop references from the capture thread.
    std::atomic<std::int32_t> referenceCount{1};
    // Changed only by Initialize, Finalize and the destructor, which the host serialises.
    IHostServices* host = nullptr;
};

static_assert(sizeof(std::atomic<std::int32_t>) == sizeof(std::int32_t));

} // namespace Vistel::Framework
