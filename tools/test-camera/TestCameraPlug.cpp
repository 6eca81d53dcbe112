#include "TestCameraPlug.h"
#include "TestCameras.h"

#include <glib.h>

#include <fstream>

namespace NorvexTestCamera
{

bool PluggingFollowsFile()
{
    const gchar* file = g_getenv("NORVEX_TEST_CAMERA_PLUGGED");
    return file && *file;
}

std::set<int> PluggedCameras()
{
    std::set<int> plugged;
    if (!PluggingFollowsFile())
    {
        for (int camera = 1; camera <= cameraCount; ++camera)
        {
            plugged.insert(camera);
        }
        return plugged;
    }
    std::ifstream file(g_getenv("NORVEX_TEST_CAMERA_PLUGGED"));
    int camera = 0;
    while (file >> camera)
    {
        if (camera >= 1 && camera <= cameraCount)
        {
            plugged.insert(camera);
        }
    }
    return plugged;
}

bool IsPlugged(int camera)
{
    return PluggedCameras().count(camera) != 0;
}

} // namespace NorvexTestCamera
