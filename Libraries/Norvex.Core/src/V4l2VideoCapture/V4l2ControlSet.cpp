#include "V4l2VideoCapture/V4l2ControlSet.h"

#include <linux/videodev2.h>

#include <cerrno>

namespace Norvex::Core::V4l2VideoCapture
{
namespace
{

HRESULT LastError()
{
    return errno > 0 ? HRESULT_FROM_WIN32(errno) : E_FAIL;
}

} // namespace

V4l2ControlSet::V4l2ControlSet(std::shared_ptr<const V4l2FileHandle> handle, const Mapping* mappings,
                               std::int32_t count)
    : handle(std::move(handle)), mappings(mappings), count(count)
{
}

const V4l2ControlSet::Mapping* V4l2ControlSet::Find(std::int32_t property) const noexcept
{
    if (property < 0 || property >= count || mappings[property].value == 0)
    {
        return nullptr;
    }
    return &mappings[property];
}

bool V4l2ControlSet::HasControl(std::uint32_t id) const
{
    v4l2_queryctrl query{};
    return Query(id, query);
}

bool V4l2ControlSet::IsWritable(std::uint32_t id) const
{
    v4l2_queryctrl query{};
    return Query(id, query) && !(query.flags & V4L2_CTRL_FLAG_READ_ONLY);
}

bool V4l2ControlSet::Query(std::uint32_t id, v4l2_queryctrl& query) const
{
    if (id == 0)
    {
        return false;
    }
    query = {};
    query.id = id;
    return handle->Ioctl(VIDIOC_QUERYCTRL, &query) == 0 && !(query.flags & V4L2_CTRL_FLAG_DISABLED);
}

std::int32_t V4l2ControlSet::AutomaticValue(const Mapping& mapping) const
{
    // A menu (exposure) offers only the entries the camera has: the preferred one if it is
    // there, else the first other entry that is not the manual one.
    v4l2_queryctrl query{};
    if (!Query(mapping.automatic, query) || query.type != V4L2_CTRL_TYPE_MENU)
    {
        return mapping.automaticOn;
    }
    const auto exists = [&](std::int32_t index)
    {
        v4l2_querymenu entry{};
        entry.id = mapping.automatic;
        entry.index = static_cast<std::uint32_t>(index);
        return index >= query.minimum && index <= query.maximum &&
               handle->Ioctl(VIDIOC_QUERYMENU, &entry) == 0;
    };
    if (exists(mapping.automaticOn))
    {
        return mapping.automaticOn;
    }
    for (std::int32_t index = std::max(query.minimum, 0); index <= query.maximum && index < 64; ++index)
    {
        if (index != mapping.automaticOff && exists(index))
        {
            return index;
        }
    }
    return mapping.automaticOn;
}

bool V4l2ControlSet::HasAnyControl() const
{
    for (std::int32_t property = 0; property < count; ++property)
    {
        if (HasControl(mappings[property].value))
        {
            return true;
        }
    }
    return false;
}

HRESULT V4l2ControlSet::Read(std::uint32_t id, std::int32_t* value) const
{
    v4l2_control control{};
    control.id = id;
    if (handle->Ioctl(VIDIOC_G_CTRL, &control) != 0)
    {
        return LastError();
    }
    *value = control.value;
    return S_OK;
}

HRESULT V4l2ControlSet::Write(std::uint32_t id, std::int32_t value) const
{
    v4l2_control control{};
    control.id = id;
    control.value = value;
    return handle->Ioctl(VIDIOC_S_CTRL, &control) == 0 ? S_OK : LastError();
}

HRESULT V4l2ControlSet::GetRange(std::int32_t property, std::int32_t* minimum, std::int32_t* maximum,
                                 std::int32_t* steppingDelta, std::int32_t* defaultValue,
                                 std::int32_t* capsFlags) const
{
    if (!minimum || !maximum || !steppingDelta || !defaultValue || !capsFlags)
    {
        return E_POINTER;
    }
    const Mapping* mapping = Find(property);
    if (!mapping)
    {
        return HRESULT_FROM_WIN32(EINVAL);
    }
    v4l2_queryctrl query{};
    query.id = mapping->value;
    if (handle->Ioctl(VIDIOC_QUERYCTRL, &query) != 0)
    {
        return LastError();
    }
    if (query.flags & V4L2_CTRL_FLAG_DISABLED)
    {
        return HRESULT_FROM_WIN32(EINVAL);
    }
    *minimum = query.minimum;
    *maximum = query.maximum;
    *steppingDelta = query.step;
    *defaultValue = query.default_value;
    // A mode the camera does not let us set is not offered; a read-only control only shows.
    *capsFlags = (query.flags & V4L2_CTRL_FLAG_READ_ONLY ? 0 : flagManual) |
                 (IsWritable(mapping->automatic) ? flagAuto : 0);
    return S_OK;
}

HRESULT V4l2ControlSet::Set(std::int32_t property, std::int32_t value, std::int32_t flags) const
{
    const Mapping* mapping = Find(property);
    if (!mapping)
    {
        return HRESULT_FROM_WIN32(EINVAL);
    }
    if (flags & flagAuto)
    {
        // The camera picks the value itself; the one passed is not used.
        return mapping->automatic ? Write(mapping->automatic, AutomaticValue(*mapping))
                                  : HRESULT_FROM_WIN32(EINVAL);
    }
    // Off first: while its automatic mode runs, the camera refuses the value (EACCES).
    if (mapping->automatic && IsWritable(mapping->automatic))
    {
        if (const HRESULT status = Write(mapping->automatic, mapping->automaticOff); FAILED(status))
        {
            return status;
        }
    }
    // The driver rounds the value to the step and clamps it to the range, and succeeds.
    return Write(mapping->value, value);
}

HRESULT V4l2ControlSet::Get(std::int32_t property, std::int32_t* value, std::int32_t* flags) const
{
    if (!value || !flags)
    {
        return E_POINTER;
    }
    const Mapping* mapping = Find(property);
    if (!mapping)
    {
        return HRESULT_FROM_WIN32(EINVAL);
    }
    std::int32_t automatic = mapping->automaticOff;
    if (mapping->automatic && HasControl(mapping->automatic) && FAILED(Read(mapping->automatic, &automatic)))
    {
        automatic = mapping->automaticOff;
    }
    *flags = automatic != mapping->automaticOff ? flagAuto : flagManual;
    if (const HRESULT status = Read(mapping->value, value); FAILED(status))
    {
        // Some cameras cannot tell their focus while autofocus runs; the mode is what counts
        // then, and the value shown is the control's default.
        v4l2_queryctrl query{};
        if (*flags != flagAuto || !Query(mapping->value, query))
        {
            return status;
        }
        *value = query.default_value;
    }
    return S_OK;
}

} // namespace Norvex::Core::V4l2VideoCapture
