#pragma once

#include "GStreamerVideoCapture/GStreamerHandle.h"

#include <vector>

namespace Norvex::Core::GStreamerVideoCapture
{

// Turns the caps a device offers into the fixed formats it lists.
class GStreamerCapsExpansion
{
public:
    // Every fixed combination of caps, structure by structure, in the order format, width,
    // height, frame rate, the last one fastest: a list gives each of its members, a range its two
    // end points. Fields not named there are fixated to their first or smallest value. Structures
    // in other memory than system memory (DMA-BUF, GL) are left out: their buffers would not
    // reach the appsink as plain bytes.
    static std::vector<GStreamerHandle<GstCaps>> Expand(const GstCaps* caps);
};

} // namespace Norvex::Core::GStreamerVideoCapture
