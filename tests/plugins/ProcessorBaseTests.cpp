#include "TestHostServices.h"

#include <Norvex/Core/ComPointer.h>
#include <Vistel/Framework/ProcessorBase.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace
{

using namespace Vistel::Framework;
using Norvex::Core::E_NOINTERFACE;
using Norvex::Core::E_POINTER;
using Norvex::Core::S_OK;
using VistelTest::TestHostServices;

// A processor that overrides nothing but tells when it is gone.
class ProbeProcessor final : public ProcessorBase
{
public:
    explicit ProbeProcessor(bool& destroyed) : destroyed(destroyed) {}
    ~ProbeProcessor() override { destroyed = true; }

    IHostServices* HeldHost() const { return GetHostServices(); }

private:
    bool& destroyed;
};

class ProcessorBaseTest : public ::testing::Test
{
protected:
    ProcessorBaseTest() { processor.Attach(new ProbeProcessor(destroyed)); }

    ProbeProcessor& Probe() { return static_cast<ProbeProcessor&>(*processor); }

    bool destroyed = false;
    Norvex::Core::ComPointer<IProcessor> processor;
};

TEST_F(ProcessorBaseTest, QueryInterfaceAnswersItsTwoInterfacesOnly)
{
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(processor->QueryInterface(IHostServices::Iid, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(processor->QueryInterface(IProcessor::Iid, nullptr), E_POINTER);

    for (const auto& iid : {IProcessor::Iid, Norvex::Core::IUnknown::Iid})
    {
        void* answer = nullptr;
        ASSERT_EQ(processor->QueryInterface(iid, &answer), S_OK);
        EXPECT_EQ(answer, static_cast<IProcessor*>(processor.Get()));
        // One reference was added for the answer.
        EXPECT_EQ(processor->Release(), 1u);
    }
}

TEST_F(ProcessorBaseTest, ReleaseDeletesAtZeroThroughTheVirtualDestructor)
{
    EXPECT_EQ(processor->AddRef(), 2u);
    EXPECT_EQ(processor->Release(), 1u);
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(processor.Detach()->Release(), 0u);
    EXPECT_TRUE(destroyed);
}

TEST_F(ProcessorBaseTest, ReferenceCountingIsAtomic)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [this]
            {
                for (int i = 0; i < 20000; ++i)
                {
                    processor->AddRef();
                    processor->Release();
                }
            });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(processor->AddRef(), 2u);
    EXPECT_EQ(processor->Release(), 1u);
    EXPECT_FALSE(destroyed);
}

TEST_F(ProcessorBaseTest, InitializeHoldsOneReferenceToItsHost)
{
    TestHostServices first;
    TestHostServices second;
    EXPECT_EQ(processor->Initialize(nullptr), E_POINTER);
    EXPECT_EQ(Probe().HeldHost(), nullptr);

    ASSERT_EQ(processor->Initialize(&first), S_OK);
    ASSERT_EQ(processor->Initialize(&first), S_OK);
    EXPECT_EQ(first.GetReferenceCount(), 2u);
    EXPECT_EQ(Probe().HeldHost(), &first);

    // Another host replaces the first, which gets its reference back.
    ASSERT_EQ(processor->Initialize(&second), S_OK);
    EXPECT_EQ(first.GetReferenceCount(), 1u);
    EXPECT_EQ(second.GetReferenceCount(), 2u);
    // A null host changes nothing.
    EXPECT_EQ(processor->Initialize(nullptr), E_POINTER);
    EXPECT_EQ(Probe().HeldHost(), &second);

    EXPECT_EQ(processor->Finalize(), S_OK);
    EXPECT_EQ(second.GetReferenceCount(), 1u);
    EXPECT_EQ(Probe().HeldHost(), nullptr);
    EXPECT_EQ(processor->Finalize(), S_OK);
    EXPECT_EQ(second.GetReferenceCount(), 1u);
}

TEST_F(ProcessorBaseTest, DestructionReleasesAHostStillHeld)
{
    TestHostServices host;
    ASSERT_EQ(processor->Initialize(&host), S_OK);
    processor.Release();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(host.GetReferenceCount(), 1u);
}

TEST_F(ProcessorBaseTest, DefaultsShowTheFrameUnchangedWithoutPageOverlayOrMouseCapture)
{
    TestHostServices host;
    host.sourceImage.Resize(4, 3);
    // Nothing to show before a host is known.
    EXPECT_EQ(processor->GetImage(), nullptr);
    ASSERT_EQ(processor->Initialize(&host), S_OK);
    EXPECT_EQ(processor->GetImage(), &host.sourceImage);

    QWidget* page = reinterpret_cast<QWidget*>(0x1);
    EXPECT_EQ(processor->CreateControlPanel(nullptr, &page), S_OK);
    EXPECT_EQ(page, nullptr);
    EXPECT_EQ(processor->CreateControlPanel(nullptr, nullptr), E_POINTER);

    const Point2F point{1.5f, 2.5f};
    bool capture = true;
    EXPECT_EQ(processor->OnLButtonDown(MK_LBUTTON, &point, &capture), S_OK);
    EXPECT_FALSE(capture);
    EXPECT_EQ(processor->OnLButtonUp(0, &point), S_OK);
    EXPECT_EQ(processor->OnMouseMove(MK_LBUTTON | MK_SHIFT, &point), S_OK);
    EXPECT_EQ(processor->OnMouseEnter(), S_OK);
    EXPECT_EQ(processor->OnMouseLeave(), S_OK);
    EXPECT_EQ(processor->Process(), S_OK);
    EXPECT_EQ(processor->Reset(), S_OK);
    EXPECT_EQ(processor->OnDraw2d(nullptr, 1.0), S_OK);
    EXPECT_EQ(processor->OnRecreated2dResources(nullptr), S_OK);
    EXPECT_EQ(processor->OnHostStateChanged(HostStateRecordingChanged), S_OK);
    EXPECT_EQ(host.frameChangedCount + host.invalidateCount, 0);
    // The host goes before the fixture's processor.
    EXPECT_EQ(processor->Finalize(), S_OK);
}

} // namespace
