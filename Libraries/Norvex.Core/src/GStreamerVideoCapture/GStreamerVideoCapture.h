#pragma once

#include <Norvex/Core/VideoCapture/Device.h>

#include <memory>
#include <vector>

namespace Norvex::Core::GStreamerVideoCapture
{

// The "Video/Source" devices that GStreamer's device monitor reports, in its order; a device
// whose path was seen already is left out. With skipErrorDevice a device that fails to build is
// left out, else its failure propagates.
std::vector<std::shared_ptr<VideoCapture::Device>> EnumerateDevices(bool skipErrorDevice,
                                                                    bool skipDuplicatedFrameFormat);

} // namespace Norvex::Core::GStreamerVideoCapture
