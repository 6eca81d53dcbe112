#pragma once

#include <Norvex/Core/VideoCapture/CaptureApiFamily.h>
#include <Norvex/Core/VideoCapture/Device.h>
#include <Norvex/Core/VideoCapture/DeviceWatcher.h>

#include <memory>
#include <vector>

namespace Norvex::Core::VideoCapture
{

// The devices of the chosen back-end, in its order (possibly none). Any other family raises
// E_UNEXPECTED from "VideoCapture". The one place that knows the back-ends: the capture
// abstraction (VideoCapture/) includes none of them.
std::vector<std::shared_ptr<Device>> EnumerateDevices(CaptureApiFamily family, bool skipErrorDevice,
                                                      bool skipDuplicatedFrameFormat);

// Calls `changed` (on a thread of the watcher) whenever the family's cameras may have come or
// gone: udev's video4linux events for V4L2, GStreamer's device monitor for GStreamer.
std::unique_ptr<DeviceWatcher> WatchDevices(CaptureApiFamily family, DeviceWatcher::Changed changed);

// Whether video nodes exist but this user may open none of them (EACCES or EPERM on every one):
// cameras are there, the user is only not in the group that owns them. Either family lists
// nothing then.
bool CamerasRefuseAccess();

} // namespace Norvex::Core::VideoCapture
