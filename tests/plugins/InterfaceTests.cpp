#include <Vistel/Framework/IHostDeviceControls.h>
#include <Vistel/Framework/IHostServices.h>
#include <Vistel/Framework/IProcessor.h>
#include <Vistel/Framework/IProcessorFactory.h>

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

using namespace Vistel::Framework;
using Norvex::Core::IUnknown;

// The 16 bytes of a GUID as it lies in memory: the first three fields little-endian, the last
// eight bytes in text order.
std::array<unsigned char, 16> GuidBytes(const std::string& text)
{
    const std::string hex = text.substr(1, 8) + text.substr(10, 4) + text.substr(15, 4) + text.substr(20, 4) +
                            text.substr(25, 12);
    std::array<unsigned char, 16> bytes{};
    for (std::size_t i = 0; i < 16; ++i)
    {
        bytes[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    std::swap(bytes[0], bytes[3]);
    std::swap(bytes[1], bytes[2]);
    std::swap(bytes[4], bytes[5]);
    std::swap(bytes[6], bytes[7]);
    return bytes;
}

template <class TGuid> std::array<unsigned char, 16> MemoryOf(const TGuid& guid)
{
    static_assert(sizeof(TGuid) == 16);
    std::array<unsigned char, 16> bytes{};
    std::memcpy(bytes.data(), &guid, 16);
    return bytes;
}

TEST(PluginInterface, InterfaceIdentifiersMatchTheirTextByteForByte)
{
    EXPECT_EQ(MemoryOf(IProcessor::Iid), GuidBytes("{A0B7DAB4-7CD3-442C-BC8A-320E432884E3}"));
    EXPECT_EQ(MemoryOf(IHostServices::Iid), GuidBytes("{DBEB7E8C-E43A-4412-8E3D-90E82A1D5AAD}"));
    EXPECT_EQ(MemoryOf(IUnknown::Iid), GuidBytes("{00000000-0000-0000-C000-000000000046}"));
    EXPECT_EQ(MemoryOf(IHostDeviceControls::Iid), GuidBytes("{A4A67C35-4FD0-4896-B1EA-E203DF37F78C}"));
}

// The vtable slot of a virtual function. On the x86-64 C++ ABI a pointer to a virtual member
// function holds 1 plus the function's byte offset in the vtable.
template <class TMember> std::ptrdiff_t SlotOf(TMember member)
{
    static_assert(sizeof(TMember) == 2 * sizeof(std::ptrdiff_t));
    std::ptrdiff_t parts[2];
    std::memcpy(parts, &member, sizeof parts);
    if ((parts[0] & 1) == 0)
    {
        return -1;
    }
    return (parts[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

TEST(PluginInterface, ProcessorSlotsKeepTheirOrder)
{
    EXPECT_EQ(SlotOf(&IProcessor::QueryInterface), 0);
    EXPECT_EQ(SlotOf(&IProcessor::AddRef), 1);
    EXPECT_EQ(SlotOf(&IProcessor::Release), 2);
    EXPECT_EQ(SlotOf(&IProcessor::Initialize), 3);
    EXPECT_EQ(SlotOf(&IProcessor::Finalize), 4);
    EXPECT_EQ(SlotOf(&IProcessor::CreateControlPanel), 5);
    EXPECT_EQ(SlotOf(&IProcessor::GetImage), 6);
    EXPECT_EQ(SlotOf(&IProcessor::Process), 7);
    EXPECT_EQ(SlotOf(&IProcessor::Reset), 8);
    EXPECT_EQ(SlotOf(&IProcessor::OnDraw2d), 9);
    EXPECT_EQ(SlotOf(&IProcessor::OnRecreated2dResources), 10);
    EXPECT_EQ(SlotOf(&IProcessor::OnMouseEnter), 11);
    EXPECT_EQ(SlotOf(&IProcessor::OnMouseLeave), 12);
    EXPECT_EQ(SlotOf(&IProcessor::OnLButtonDown), 13);
    EXPECT_EQ(SlotOf(&IProcessor::OnLButtonUp), 14);
    EXPECT_EQ(SlotOf(&IProcessor::OnMouseMove), 15);
    EXPECT_EQ(SlotOf(&IProcessor::OnHostStateChanged), 16);
}

TEST(PluginInterface, HostServicesSlotsKeepTheirOrder)
{
    EXPECT_EQ(SlotOf(&IHostServices::QueryInterface), 0);
    EXPECT_EQ(SlotOf(&IHostServices::AddRef), 1);
    EXPECT_EQ(SlotOf(&IHostServices::Release), 2);
    EXPECT_EQ(SlotOf(&IHostServices::GetApplicationFolder), 3);
    EXPECT_EQ(SlotOf(&IHostServices::GetProfileInt), 4);
    EXPECT_EQ(SlotOf(&IHostServices::GetProfileString), 5);
    EXPECT_EQ(SlotOf(&IHostServices::WriteProfileInt), 6);
    EXPECT_EQ(SlotOf(&IHostServices::WriteProfileString), 7);
    EXPECT_EQ(SlotOf(&IHostServices::GetSourceImage), 8);
    EXPECT_EQ(SlotOf(&IHostServices::NotifyFrameChanged), 9);
    EXPECT_EQ(SlotOf(&IHostServices::InvalidatePreview), 10);
    EXPECT_EQ(SlotOf(&IHostServices::GetDeviceCount), 11);
    EXPECT_EQ(SlotOf(&IHostServices::GetDeviceFriendlyName), 12);
    EXPECT_EQ(SlotOf(&IHostServices::GetDevicePath), 13);
    EXPECT_EQ(SlotOf(&IHostServices::GetDeviceIndex), 14);
    EXPECT_EQ(SlotOf(&IHostServices::GetFrameFormatCount), 15);
    EXPECT_EQ(SlotOf(&IHostServices::GetFrameFormat), 16);
    EXPECT_EQ(SlotOf(&IHostServices::GetFrameFormatIndex), 17);
    EXPECT_EQ(SlotOf(&IHostServices::IsDeviceRunning), 18);
    EXPECT_EQ(SlotOf(&IHostServices::IsRecordingActive), 19);
}

TEST(PluginInterface, HostDeviceControlsSlotsKeepTheirOrder)
{
    EXPECT_EQ(SlotOf(&IHostDeviceControls::QueryInterface), 0);
    EXPECT_EQ(SlotOf(&IHostDeviceControls::GetCameraControl), 3);
    EXPECT_EQ(SlotOf(&IHostDeviceControls::GetVideoProcAmp), 4);
}

TEST(PluginInterface, FactorySlotsKeepTheirOrder)
{
    EXPECT_EQ(SlotOf(&IProcessorFactory::QueryInterface), 0);
    EXPECT_EQ(SlotOf(&IProcessorFactory::AddRef), 1);
    EXPECT_EQ(SlotOf(&IProcessorFactory::Release), 2);
    EXPECT_EQ(SlotOf(&IProcessorFactory::GetProcessorCount), 3);
    EXPECT_EQ(SlotOf(&IProcessorFactory::GetProcessorName), 4);
    EXPECT_EQ(SlotOf(&IProcessorFactory::CreateProcessor), 5);
}

} // namespace
