#pragma once

#include <Norvex/Core/Com.h>
#include <Norvex/Core/ProfileFile.h>
#include <Norvex/Core/VideoCapture/Device.h>

#include <CameraControlTable.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace VistelCapture
{

// The camera and picture control values kept per camera in the INI file's "CameraSettings"
// section (the keys the "カメラ設定" page writes), and the device's controls as they are now.
//
// Thread: user-interface thread, like the controls themselves.
class CameraControlStore
{
public:
    using Description = Vistel::Plugins::CameraControlDescription;
    using State = Vistel::Plugins::CameraControlState;

    explicit CameraControlStore(Norvex::Core::ProfileFile& profile) : profile(profile) {}

    // Sets every value stored for the device on it. A control the camera lacks, or a value it
    // refuses, is passed over; the rest still apply. A V4L2 camera has its controls only while it
    // streams: called right after every start.
    void Apply(Norvex::Core::VideoCapture::Device& device);
    // The controls the device offers right now, in the table's order.
    static std::vector<State> Read(Norvex::Core::VideoCapture::Device& device);
    // Stores a value (or the automatic mode) for the device, applied at its next start.
    void Store(const Norvex::Core::VideoCapture::Device& device, const Description& control,
               std::int32_t value, bool isAuto);
    // The control of this name (its INI key, e.g. "Brightness"; case ignored), if any.
    static const Description* Find(const std::string& name);

private:
    Norvex::Core::ProfileFile& profile;
};

} // namespace VistelCapture
