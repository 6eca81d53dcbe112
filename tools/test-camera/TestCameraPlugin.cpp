#include "TestCameraProvider.h"
#include "TestCameraSource.h"

#define PACKAGE "norvextestcamera"

namespace
{

gboolean Initialize(GstPlugin* plugin)
{
    // The source element has no rank: nothing should pick it on its own. The provider needs
    // MARGINAL or better to be listed by device monitors.
    return gst_element_register(plugin, "norvextestcamerasrc", GST_RANK_NONE,
                                NORVEX_TYPE_TEST_CAMERA_SOURCE) &&
           gst_device_provider_register(plugin, "norvextestcameraprovider", GST_RANK_MARGINAL,
                                        NORVEX_TYPE_TEST_CAMERA_PROVIDER);
}

} // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, norvextestcamera, "Test cameras for Vistel Capture",
                  Initialize, "0.1.0", "Proprietary", "Vistel Capture", "https://example.invalid/norvex")
