#pragma once

// The cameras the test provider offers. Tests check pixels against these pictures, so the
// patterns and the caps are part of what the tests rely on.
namespace NorvexTestCamera
{

struct CameraDescription
{
    const char* displayName;
    const char* path;    // the provider's own unique path ("object.path"); none when null
    const char* pattern; // videotestsrc pattern
    const char* caps;    // what the camera offers, in this order
    // Faults, for the cameras listed only when NORVEX_TEST_CAMERA_FAULTS is set in the
    // environment: every other buffer one row short, and one error posted at this buffer (0: none).
    bool faulty = false;
    bool shortEveryOtherFrame = false;
    int errorAtFrame = 0;
};

// Camera 1: seven full-height 100 % bars (white, yellow, cyan, green, magenta, red, blue),
// each a seventh of the width. Its caps hold two YUY2 sizes and rates, JPEG, I420 (a subtype
// without a name on the other platform) and a second 640x480 YUY2 entry that differs only in
// its pixel aspect ratio, so the duplicate rule has something to drop.
// Camera 2: a vertical grey ramp, black in the top row and white in the bottom one. Its caps
// use lists and ranges, and one entry of size 0.
inline constexpr CameraDescription cameras[] = {
    {"Norvex Test Camera 1", "norvextestcamera:1", "smpte100",
     "video/x-raw, format=(string)YUY2, width=(int)640, height=(int)480, framerate=(fraction)30/1; "
     "video/x-raw, format=(string)YUY2, width=(int)320, height=(int)240, framerate=(fraction)15/1; "
     "image/jpeg, width=(int)1280, height=(int)720, framerate=(fraction)30/1; "
     "video/x-raw, format=(string)I420, width=(int)640, height=(int)480, framerate=(fraction)30/1; "
     "video/x-raw, format=(string)YUY2, width=(int)640, height=(int)480, framerate=(fraction)30/1, "
     "pixel-aspect-ratio=(fraction)1/1; "
     "video/x-raw, format=(string)YUY2, width=(int)1920, height=(int)1080, framerate=(fraction)30/1"},
    {"Norvex Test Camera 2", "norvextestcamera:2", "gradient",
     "video/x-raw, format=(string){ YUY2, UYVY }, width=(int)320, height=(int)240, "
     "framerate=(fraction){ 30/1, 15/1 }; "
     "video/x-raw, format=(string)YUY2, width=(int)[ 160, 640 ], height=(int)[ 120, 480 ], "
     "framerate=(fraction)10/1; "
     "video/x-raw, format=(string)YUY2, width=(int)0, height=(int)0, framerate=(fraction)30/1; "
     "image/jpeg, width=(int)640, height=(int)480, framerate=(fraction)30/1"},
    // Camera 3 delivers BGRA as it is, so its short buffers reach the consumer unchanged.
    {"Norvex Test Camera 3 (faulty)", "norvextestcamera:3", "smpte100",
     "video/x-raw, format=(string)BGRA, width=(int)320, height=(int)240, framerate=(fraction)30/1", true,
     true, 5},
    // Camera 4 has no path, which a consumer cannot tell apart from other cameras.
    {"Norvex Test Camera 4 (no path)", nullptr, "smpte100",
     "video/x-raw, format=(string)YUY2, width=(int)320, height=(int)240, framerate=(fraction)30/1", true},
    // Camera 5 shows camera 1's bars in every other raw layout a camera may send, then 1920x1080
    // YUY2 in BT.601, as UVC cameras state it through V4L2 whatever their size (GStreamer's default
    // for high definition is BT.709).
    {"Norvex Test Camera 5 (layouts)", "norvextestcamera:5", "smpte100",
     "video/x-raw, format=(string){ YVYU, NV12, NV21, NV16, YV12, Y42B, Y444, BGRx, RGB, BGR, RGB16, RGB15, "
     "GRAY8, GRAY16_LE }, width=(int)320, height=(int)240, framerate=(fraction)30/1; "
     "video/x-raw, format=(string)YUY2, width=(int)1920, height=(int)1080, framerate=(fraction)30/1, "
     "colorimetry=(string)bt601"},
    // Camera 6 sends what compressing cameras send: JPEG pictures at 1920x1080 and an H.264
    // stream (byte-stream, whole access units, a key frame with its parameter sets every second,
    // no B-frames), both of camera 1's bars.
    {"Norvex Test Camera 6 (compressed)", "norvextestcamera:6", "smpte100",
     "image/jpeg, width=(int)1920, height=(int)1080, framerate=(fraction)30/1; "
     "video/x-h264, stream-format=(string)byte-stream, alignment=(string)au, width=(int)640, "
     "height=(int)480, framerate=(fraction)30/1"},
};

inline constexpr int cameraCount = static_cast<int>(sizeof(cameras) / sizeof(cameras[0]));

} // namespace NorvexTestCamera
