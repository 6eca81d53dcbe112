#pragma once

namespace Norvex::Core
{

// Keeps GStreamer initialised for everything that holds a shared pointer to it. GStreamer cannot
// be initialised again after gst_deinit, so the library is never deinitialised: the last holder
// going away leaves it up for the rest of the process.
class GStreamerInitializer
{
public:
    GStreamerInitializer();
    GStreamerInitializer(const GStreamerInitializer&) = delete;
    GStreamerInitializer& operator=(const GStreamerInitializer&) = delete;
    ~GStreamerInitializer() = default;
};

} // namespace Norvex::Core
