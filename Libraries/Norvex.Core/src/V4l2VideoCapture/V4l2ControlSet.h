#pragma once

#include "V4l2VideoCapture/V4l2FileHandle.h"
#include <Norvex/Core/Com.h>

#include <linux/videodev2.h>

#include <cstdint>
#include <memory>

namespace Norvex::Core::V4l2VideoCapture
{

// Maps a numbered property with automatic and manual modes onto a V4L2 value control and,
// where the camera has one, its automatic-mode control.
class V4l2ControlSet
{
public:
    struct Mapping
    {
        std::uint32_t value;     // control id of the value, 0: not available on V4L2
        std::uint32_t automatic; // control id of the automatic mode, 0: none
        // Values of the automatic control for on and off (booleans 1/0; exposure is a menu,
        // whose `automaticOn` is only preferred: the camera may lack that entry).
        std::int32_t automaticOn;
        std::int32_t automaticOff;
    };

    V4l2ControlSet(std::shared_ptr<const V4l2FileHandle> handle, const Mapping* mappings, std::int32_t count);

    HRESULT GetRange(std::int32_t property, std::int32_t* minimum, std::int32_t* maximum,
                     std::int32_t* steppingDelta, std::int32_t* defaultValue, std::int32_t* capsFlags) const;
    HRESULT Set(std::int32_t property, std::int32_t value, std::int32_t flags) const;
    HRESULT Get(std::int32_t property, std::int32_t* value, std::int32_t* flags) const;
    bool HasAnyControl() const;

    static constexpr std::int32_t flagAuto = 1;
    static constexpr std::int32_t flagManual = 2;

private:
    const Mapping* Find(std::int32_t property) const noexcept;
    bool HasControl(std::uint32_t id) const;
    bool IsWritable(std::uint32_t id) const;
    // QUERYCTRL of a control that exists and is not disabled.
    bool Query(std::uint32_t id, v4l2_queryctrl& query) const;
    // The value that turns the automatic mode on, among those the camera accepts.
    std::int32_t AutomaticValue(const Mapping& mapping) const;
    HRESULT Read(std::uint32_t id, std::int32_t* value) const;
    HRESULT Write(std::uint32_t id, std::int32_t value) const;

    std::shared_ptr<const V4l2FileHandle> handle;
    const Mapping* mappings;
    std::int32_t count;
};

} // namespace Norvex::Core::V4l2VideoCapture
