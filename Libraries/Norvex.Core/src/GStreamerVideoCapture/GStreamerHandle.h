#pragma once

#include <gst/gst.h>
#include <gst/video/video.h>

#include <memory>

namespace Norvex::Core::GStreamerVideoCapture
{

// Releases a GLib or GStreamer object the way its type needs. One overload a type: a type
// without one does not compile, so nothing is released the wrong way.
struct GStreamerRelease
{
    void operator()(GstObject* object) const noexcept { gst_object_unref(object); }
    void operator()(GstElement* element) const noexcept { gst_object_unref(element); }
    void operator()(GstBus* bus) const noexcept { gst_object_unref(bus); }
    void operator()(GstPad* pad) const noexcept { gst_object_unref(pad); }
    void operator()(GstDevice* device) const noexcept { gst_object_unref(device); }
    void operator()(GstDeviceMonitor* monitor) const noexcept { gst_object_unref(monitor); }
    void operator()(GstCaps* caps) const noexcept { gst_caps_unref(caps); }
    void operator()(GstSample* sample) const noexcept { gst_sample_unref(sample); }
    void operator()(GstMessage* message) const noexcept { gst_message_unref(message); }
    void operator()(GstStructure* structure) const noexcept { gst_structure_free(structure); }
    void operator()(GstVideoInfo* info) const noexcept { gst_video_info_free(info); }
    void operator()(GError* error) const noexcept { g_error_free(error); }
    void operator()(gchar* text) const noexcept { g_free(text); }
    // Every GList the back-end owns holds GStreamer objects (devices, from the device monitor).
    void operator()(GList* objects) const noexcept { g_list_free_full(objects, gst_object_unref); }
};

// The one owning handle of GLib and GStreamer objects in the back-end: holds one reference (or
// the object itself, for plain structures and strings) and releases it when it goes.
template <class T> using GStreamerHandle = std::unique_ptr<T, GStreamerRelease>;

// Takes over what a GLib call returned, possibly nothing.
template <class T> GStreamerHandle<T> Own(T* object) noexcept
{
    return GStreamerHandle<T>(object);
}

// A GValue that is unset when it goes.
class GStreamerValue
{
public:
    GStreamerValue() noexcept = default;
    // A copy of `value`.
    explicit GStreamerValue(const GValue* value)
    {
        g_value_init(&held, G_VALUE_TYPE(value));
        g_value_copy(value, &held);
    }
    GStreamerValue(GStreamerValue&& other) noexcept : held(other.held) { other.held = G_VALUE_INIT; }
    GStreamerValue& operator=(GStreamerValue&& other) noexcept
    {
        if (this != &other)
        {
            Unset();
            held = other.held;
            other.held = G_VALUE_INIT;
        }
        return *this;
    }
    GStreamerValue(const GStreamerValue&) = delete;
    GStreamerValue& operator=(const GStreamerValue&) = delete;
    ~GStreamerValue() { Unset(); }

    // For initialising in place (g_value_init and the like).
    GValue* Get() noexcept { return &held; }
    const GValue* Get() const noexcept { return &held; }
    // False for a value never initialised: it stands for a missing field.
    bool IsSet() const noexcept { return G_IS_VALUE(&held); }

private:
    void Unset() noexcept
    {
        if (G_IS_VALUE(&held))
        {
            g_value_unset(&held);
        }
    }

    GValue held = G_VALUE_INIT;
};

} // namespace Norvex::Core::GStreamerVideoCapture
