#pragma once

#include <Norvex/Core/Com.h>

#include <cstdint>

namespace Norvex::Core::VideoCapture
{

// Picture controls (brightness, contrast, ...) with automatic and manual modes, numbered as on
// the other platform.
class VideoProcAmp : public IUnknown
{
public:
    static constexpr IID Iid = {0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};

    enum Property : std::int32_t
    {
        Brightness = 0,
        Contrast = 1,
        Hue = 2,
        Saturation = 3,
        Sharpness = 4,
        Gamma = 5,
        ColorEnable = 6,
        WhiteBalance = 7,
        BacklightCompensation = 8,
        Gain = 9,
    };

    enum Flags : std::int32_t
    {
        Auto = 1,
        Manual = 2,
    };

    virtual HRESULT GetRange(std::int32_t property, std::int32_t* minimum, std::int32_t* maximum,
                             std::int32_t* steppingDelta, std::int32_t* defaultValue,
                             std::int32_t* capsFlags) = 0;
    virtual HRESULT Set(std::int32_t property, std::int32_t value, std::int32_t flags) = 0;
    virtual HRESULT Get(std::int32_t property, std::int32_t* value, std::int32_t* flags) = 0;

protected:
    ~VideoProcAmp() = default;
};

} // namespace Norvex::Core::VideoCapture
