#pragma once

#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>
#include <Norvex/Core/VideoCapture/Device.h>

#include <memory>
#include <vector>

namespace Norvex::Core::V4l2VideoCapture
{

// Appends a V4l2Device for every video-capture node with streaming, in node-number order; nodes
// without them (metadata, output, radio) are passed over. A node that fails while its device is
// built is left out with `skipErrorDevice`, else its failure propagates.
void EnumerateDevices(bool skipErrorDevice, bool skipDuplicatedFrameFormat,
                      std::vector<std::shared_ptr<VideoCapture::Device>>& devices,
                      KernelInterface& kernel = KernelInterface::System());

} // namespace Norvex::Core::V4l2VideoCapture
