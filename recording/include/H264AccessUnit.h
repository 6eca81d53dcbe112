#pragma once

#include <cstddef>
#include <vector>

namespace VistelCapture
{

// What a recording needs to know of an H.264 access unit in Annex B form (NAL units behind start
// codes), as cameras send them.
class H264AccessUnit
{
public:
    // Whether the unit holds an IDR picture, where a decoder can start.
    static bool IsKeyFrame(const unsigned char* data, std::size_t size) noexcept;
    // The unit's sequence and picture parameter sets, each behind a four-byte start code; empty
    // when it has none.
    static std::vector<unsigned char> ParameterSets(const unsigned char* data, std::size_t size);
};

} // namespace VistelCapture
