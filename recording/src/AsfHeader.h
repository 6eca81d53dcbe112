#pragma once

#include <string>

// The ASF header as libavformat's muxer leaves it, completed where the muxer leaves a field empty.
namespace VistelCapture::AsfHeader
{

// Stream properties whose muxer writes an extended stream properties object (libavformat does
// when the stream names a language) but leaves its average time per frame at zero.
inline constexpr const char* StreamLanguage = "jpn";

// Writes the nominal time per frame of `frameRate` into the extended stream properties of the
// ASF file at `path`, so that players and converters know the stream's rate (sample times stay
// the arrival times). False when the file holds no such object; the file is left as it was.
bool StateFrameRate(const std::string& path, double frameRate);

} // namespace VistelCapture::AsfHeader
