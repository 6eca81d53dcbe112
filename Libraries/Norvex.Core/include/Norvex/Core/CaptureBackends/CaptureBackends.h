#pragma once

#include <Norvex/Core/VideoCapture/CaptureApiFamily.h>
#include <Norvex/Core/VideoCapture/Device.h>

#include <memory>
#include <vector>

namespace Norvex::Core::VideoCapture
{

// The devices of the chosen back-end, in its order (possibly none). Any other family raises
// E_UNEXPECTED from "VideoCapture". The one place that knows the back-ends: the capture
// abstraction (VideoCapture/) includes none of them.
std::vector<std::shared_ptr<Device>> EnumerateDevices(CaptureApiFamily family, bool skipErrorDevice,
                                                      bool skipDuplicatedFrameFormat);

} // namespace Norvex::Core::VideoCapture
