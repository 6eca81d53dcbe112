#pragma once

#include "GStreamerVideoCapture/GStreamerHandle.h"

#include <Norvex/Core/VideoCapture/FrameFormat.h>

#include <memory>
#include <string>

namespace Norvex::Core::GStreamerVideoCapture
{

// A frame format of a GStreamer device: one fixed combination of the device's caps.
class GStreamerFrameFormat final : public VideoCapture::FrameFormat
{
public:
    // Takes over one reference to fixed caps of one structure; the base fields are read from
    // them: width, height (made positive), stride 4 x width (frames arrive as top-down BGRA),
    // and the frame rate, where an unknown rate (0/1 or none) counts as 1 frame per second.
    explicit GStreamerFrameFormat(GStreamerHandle<GstCaps> caps);
    ~GStreamerFrameFormat() override;

    std::shared_ptr<FrameFormat> Clone() const override;
    // The name of the other platform's capture stack where there is one; else the camera's own
    // format string ("I420", "GRAY8"), or its media type when it has none ("video/x-vp8").
    const wchar_t* GetSubtypeName() const override;
    void OnSizeChanged() override;
    void OnFrameRateChanged() override;

    // The native description; owned by the format.
    GstCaps* GetCaps() const noexcept { return caps.get(); }

    // The subtype GUID of one caps structure: image/jpeg is MJPG, raw video takes its FOURCC
    // (YUY2, I420, ...), the RGB layouts the RGB subtypes of the same memory order.
    static GUID GetSubtype(const GstStructure* structure);

private:
    void ReadFields();

    GStreamerHandle<GstCaps> caps;
    std::wstring nativeName;
};

} // namespace Norvex::Core::GStreamerVideoCapture
