#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

// Lists the test cameras as "Video/Source" devices. It hides no other provider, so real cameras
// stay listed beside the test ones.
#define NORVEX_TYPE_TEST_CAMERA_PROVIDER (norvex_test_camera_provider_get_type())
G_DECLARE_FINAL_TYPE(NorvexTestCameraProvider, norvex_test_camera_provider, NORVEX, TEST_CAMERA_PROVIDER,
                     GstDeviceProvider)

// One test camera as the provider reports it; its element is a norvextestcamerasrc.
#define NORVEX_TYPE_TEST_CAMERA_DEVICE (norvex_test_camera_device_get_type())
G_DECLARE_FINAL_TYPE(NorvexTestCameraDevice, norvex_test_camera_device, NORVEX, TEST_CAMERA_DEVICE, GstDevice)

G_END_DECLS
