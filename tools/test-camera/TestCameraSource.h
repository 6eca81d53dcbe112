#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

// A live source bin standing in for one test camera. It offers raw video or JPEG, whichever the
// element downstream asks for when the bin leaves READY, so one element serves every format of
// the camera, as a real camera's source element does.
#define NORVEX_TYPE_TEST_CAMERA_SOURCE (norvex_test_camera_source_get_type())
G_DECLARE_FINAL_TYPE(NorvexTestCameraSource, norvex_test_camera_source, NORVEX, TEST_CAMERA_SOURCE, GstBin)

G_END_DECLS
