#pragma once

#include "V4l2VideoCapture/V4l2ControlSet.h"
#include <Norvex/Core/ComObject.h>

namespace Norvex::Core::V4l2VideoCapture
{

// A reference-counted control interface whose properties are served by a V4l2ControlSet.
template <class TInterface> class V4l2ControlObject : public ComObject<TInterface>
{
public:
    HRESULT GetRange(std::int32_t property, std::int32_t* minimum, std::int32_t* maximum,
                     std::int32_t* steppingDelta, std::int32_t* defaultValue,
                     std::int32_t* capsFlags) override
    {
        return controls.GetRange(property, minimum, maximum, steppingDelta, defaultValue, capsFlags);
    }
    HRESULT Set(std::int32_t property, std::int32_t value, std::int32_t flags) override
    {
        return controls.Set(property, value, flags);
    }
    HRESULT Get(std::int32_t property, std::int32_t* value, std::int32_t* flags) override
    {
        return controls.Get(property, value, flags);
    }

    // Whether the node has the control behind at least one property.
    bool HasAnyControl() const { return controls.HasAnyControl(); }

protected:
    template <std::size_t count>
    V4l2ControlObject(std::shared_ptr<const V4l2FileHandle> handle,
                      const V4l2ControlSet::Mapping (&mappings)[count])
        : controls(std::move(handle), mappings, static_cast<std::int32_t>(count))
    {
    }

private:
    V4l2ControlSet controls;
};

} // namespace Norvex::Core::V4l2VideoCapture
