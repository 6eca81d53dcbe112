#include "TestCameraProvider.h"
#include "TestCameraPlug.h"
#include "TestCameras.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace
{

// While the provider is started with plugging from a file: a thread that reads the file every
// 50 ms and adds or removes the devices of cameras plugged in or out since.
class PlugWatch
{
public:
    explicit PlugWatch(GstDeviceProvider* provider);
    ~PlugWatch();

private:
    void Follow();

    GstDeviceProvider* provider;
    std::map<int, GstDevice*> devices; // the watch thread's; one reference each
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false; // guarded by mutex
    std::thread thread;
};

} // namespace

struct _NorvexTestCameraProvider
{
    GstDeviceProvider parent;
    PlugWatch* watch; // while started with plugging from a file
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

bool Listed(gint camera, const std::set<int>& plugged)
{
    const bool faults = g_getenv("NORVEX_TEST_CAMERA_FAULTS") != nullptr;
    return plugged.count(camera) != 0 && (!NorvexTestCamera::cameras[camera - 1].faulty || faults);
}

GList* Probe(GstDeviceProvider*)
{
    const auto plugged = NorvexTestCamera::PluggedCameras();
    GList* devices = nullptr;
    for (gint camera = NorvexTestCamera::cameraCount; camera >= 1; --camera)
    {
        if (Listed(camera, plugged))
        {
            devices = g_list_prepend(devices, gst_object_ref_sink(MakeDevice(camera)));
        }
    }
    return devices;
}

gboolean Start(GstDeviceProvider* provider)
{
    if (NorvexTestCamera::PluggingFollowsFile())
    {
        NORVEX_TEST_CAMERA_PROVIDER(provider)->watch = new PlugWatch(provider);
        return TRUE;
    }
    // Nothing ever changes: the cameras are announced once.
    GList* devices = Probe(provider);
    for (GList* item = devices; item; item = item->next)
    {
        gst_device_provider_device_add(provider, GST_DEVICE(item->data));
    }
    g_list_free_full(devices, gst_object_unref);
    return TRUE;
}

void Stop(GstDeviceProvider* provider)
{
    auto* self = NORVEX_TEST_CAMERA_PROVIDER(provider);
    delete self->watch;
    self->watch = nullptr;
}

PlugWatch::PlugWatch(GstDeviceProvider* provider) : provider(provider), thread(&PlugWatch::Follow, this) {}

PlugWatch::~PlugWatch()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    thread.join();
    for (auto& [camera, device] : devices)
    {
        gst_object_unref(device);
    }
}

void PlugWatch::Follow()
{
    std::unique_lock lock(mutex);
    while (!stopping)
    {
        const auto plugged = NorvexTestCamera::PluggedCameras();
        for (gint camera = 1; camera <= NorvexTestCamera::cameraCount; ++camera)
        {
            const auto known = devices.find(camera);
            if (Listed(camera, plugged) && known == devices.end())
            {
                GstDevice* device = GST_DEVICE(gst_object_ref_sink(MakeDevice(camera)));
                devices.emplace(camera, device);
                gst_device_provider_device_add(provider, device);
            }
            else if (!Listed(camera, plugged) && known != devices.end())
            {
                gst_device_provider_device_remove(provider, known->second);
                gst_object_unref(known->second);
                devices.erase(known);
            }
        }
        wake.wait_for(lock, std::chrono::milliseconds(50));
    }
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

static void norvex_test_camera_provider_init(NorvexTestCameraProvider* self)
{
    self->watch = nullptr;
}

static void norvex_test_camera_provider_class_init(NorvexTestCameraProviderClass* klass)
{
    GstDeviceProviderClass* providerClass = GST_DEVICE_PROVIDER_CLASS(klass);
    providerClass->probe = Probe;
    providerClass->start = Start;
    providerClass->stop = Stop;
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
