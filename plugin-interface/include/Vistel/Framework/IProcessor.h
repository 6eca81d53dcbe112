#pragma once

// The interface of an image processor. The slot order, argument lists and identifier are a binary
// contract with plug-ins built separately: append nothing, reorder nothing.

#include <Norvex/Core/Com.h>
#include <Norvex/Core/Image.h>
#include <Norvex/Core/Pixel.h>
#include <Vistel/Framework/Point2F.h>

#include <cstdint>

// Plug-ins that draw or offer a page use Qt; the others need no Qt headers at all.
class QWidget;
class QPainter;

namespace Vistel::Framework
{

class IHostServices;

// Codes of IProcessor::OnHostStateChanged.
inline constexpr std::int32_t HostStateDeviceChanged = 0;
inline constexpr std::int32_t HostStateFrameFormatChanged = 1;
inline constexpr std::int32_t HostStateCaptureChanged = 2;
inline constexpr std::int32_t HostStateRecordingChanged = 3;

// Key-state flags of the mouse handlers, with the values of the window messages they stand for.
inline constexpr std::uint32_t MK_LBUTTON = 0x0001;
inline constexpr std::uint32_t MK_RBUTTON = 0x0002;
inline constexpr std::uint32_t MK_SHIFT = 0x0004;
inline constexpr std::uint32_t MK_CONTROL = 0x0008;
inline constexpr std::uint32_t MK_MBUTTON = 0x0010;

class IProcessor : public Norvex::Core::IUnknown
{
public:
    static constexpr Norvex::Core::IID Iid = {
        0xA0B7DAB4, 0x7CD3, 0x442C, {0xBC, 0x8A, 0x32, 0x0E, 0x43, 0x28, 0x84, 0xE3}};

    // Called right after creation, when the processor is selected.
    virtual Norvex::Core::HRESULT Initialize(IHostServices* hostServices) = 0;
    // Called when another processor is selected and at shutdown, before the last Release.
    virtual Norvex::Core::HRESULT Finalize() = 0;
    // The processor's page in the side pane: stores null for none.
    virtual Norvex::Core::HRESULT CreateControlPanel(QWidget* parent, QWidget** window) = 0;
    // The image the preview shows; it has the current frame format's size and stays valid until
    // the next frame announcement.
    virtual const Norvex::Core::Image<Norvex::Core::Pixel<unsigned char>>* GetImage() = 0;
    // Every frame, on the capture thread, under the host's frame lock.
    virtual Norvex::Core::HRESULT Process() = 0;
    // After the device or the frame format changed.
    virtual Norvex::Core::HRESULT Reset() = 0;
    // After the preview drew the image: the painter's origin is the image's top-left corner and
    // image coordinates are multiplied by scale.
    virtual Norvex::Core::HRESULT OnDraw2d(QPainter* renderTarget, double scale) = 0;
    virtual Norvex::Core::HRESULT OnRecreated2dResources(QPainter* renderTarget) = 0;
    virtual Norvex::Core::HRESULT OnMouseEnter() = 0;
    virtual Norvex::Core::HRESULT OnMouseLeave() = 0;
    // Storing true in captureMouse gives the processor the mouse until the button is released.
    virtual Norvex::Core::HRESULT OnLButtonDown(std::uint32_t flags, const Point2F* point,
                                                bool* captureMouse) = 0;
    virtual Norvex::Core::HRESULT OnLButtonUp(std::uint32_t flags, const Point2F* point) = 0;
    virtual Norvex::Core::HRESULT OnMouseMove(std::uint32_t flags, const Point2F* point) = 0;
    virtual Norvex::Core::HRESULT OnHostStateChanged(std::int32_t code) = 0;

protected:
    // Last slot; the object goes through Release only.
    virtual ~IProcessor() = default;
};

} // namespace Vistel::Framework
