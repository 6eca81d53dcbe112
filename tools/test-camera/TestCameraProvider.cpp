#include "TestCameraProvider.h"
#include "TestCameras.h"

struct _NorvexTestCameraProvider
{
    GstDeviceProvider parent;
};

struct _NorvexTestCameraDevice
{
    GstDevice parent;
    gint camera; // 1-based, fixed at construction
};

G_DEFINE_TYPE(NorvexTestCameraProvider, norvex_test_camera_provider, GST_TYPE_DEVICE_PROVIDER)
G_DEFINE_TYPE(NorvexTestCameraDevice, norvex_test_camera_device, GST_TYPE_DEVICE)

namespace
{

GstDevice* MakeDevice(gint camera)
{
    const auto& description = NorvexTestCamera::cameras[camera - 1];
    GstCaps* caps = gst_caps_from_string(description.caps);
    GstStructure* properties = gst_structure_new_empty("norvextestcamera");
    if (description.path)
    {
        gst_structure_set(properties, "object.path", G_TYPE_STRING, description.path, nullptr);
    }
    auto* device = NORVEX_TEST_CAMERA_DEVICE(
        g_object_new(NORVEX_TYPE_TEST_CAMERA_DEVICE, "display-name", description.displayName, "device-class",
                     "Video/Source", "caps", caps, "properties", properties, nullptr));
    device->camera = camera;
    gst_caps_unref(caps);
    gst_structure_free(properties);
    return GST_DEVICE(device);
}

GList* Probe(GstDeviceProvider*)
{
    const bool faults = g_getenv("NORVEX_TEST_CAMERA_FAULTS") != nullptr;
    GList* devices = nullptr;
    for (gint camera = NorvexTestCamera::cameraCount; camera >= 1; --camera)
    {
        if (!NorvexTestCamera::cameras[camera - 1].faulty || faults)
        {
            devices = g_list_prepend(devices, gst_object_ref_sink(MakeDevice(camera)));
        }
    }
    return devices;
}

GstElement* CreateElement(GstDevice* device, const gchar* name)
{
    GstElement* element = gst_element_factory_make("norvextestcamerasrc", name);
    if (element)
    {
        // Lets the programs be run on a moving picture without a change of their own.
        const gchar* motion = g_getenv("NORVEX_TEST_CAMERA_MOTION");
        const gboolean moving = motion && *motion && g_strcmp0(motion, "0") != 0;
        g_object_set(element, "camera", NORVEX_TEST_CAMERA_DEVICE(device)->camera, "moving", moving, nullptr);
    }
    return element;
}

} // namespace

static void norvex_test_camera_provider_init(NorvexTestCameraProvider*) {}

static void norvex_test_camera_provider_class_init(NorvexTestCameraProviderClass* klass)
{
    GstDeviceProviderClass* providerClass = GST_DEVICE_PROVIDER_CLASS(klass);
    providerClass->probe = Probe;
    gst_device_provider_class_set_static_metadata(providerClass, "Norvex test camera provider",
                                                  "Video/Source", "Lists the Norvex test cameras", "Norvex");
}

static void norvex_test_camera_device_init(NorvexTestCameraDevice* self)
{
    self->camera = 1;
}

static void norvex_test_camera_device_class_init(NorvexTestCameraDeviceClass* klass)
{
    GST_DEVICE_CLASS(klass)->create_element = CreateElement;
}
