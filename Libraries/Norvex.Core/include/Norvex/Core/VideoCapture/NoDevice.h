#pragma once

#include <Norvex/Core/VideoCapture/Device.h>

#include <memory>

namespace Norvex::Core::VideoCapture
{

// What the model has selected while no camera is connected: no formats, an empty frame, no
// controls, and a Start that raises "キャプチャーデバイスがありません。". Lets everything that reads
// the current device go on working while the list is empty.
class NoDevice final : public Device
{
public:
    NoDevice() = default;

    bool IsStarted() const override { return false; }
    void Start() override;
    void Stop() override {}
    ComPointer<CameraControl>& GetCameraControl() override { return cameraControl; }
    ComPointer<VideoProcAmp>& GetVideoProcAmp() override { return videoProcAmp; }

    // The format of a device without formats: 0x0 at no rate, named by nothing.
    static const FrameFormat& EmptyFormat();

private:
    ComPointer<CameraControl> cameraControl; // always null
    ComPointer<VideoProcAmp> videoProcAmp;   // always null
};

} // namespace Norvex::Core::VideoCapture
