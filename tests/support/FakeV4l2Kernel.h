#pragma once

#include <Norvex/Core/V4l2VideoCapture/KernelInterface.h>

#include <linux/videodev2.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Norvex::Testing
{

// One format a fake node lists: discrete sizes or one size range, and for every size the same
// discrete intervals or one interval range.
struct FakeV4l2Format
{
    std::uint32_t pixelFormat = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
    std::optional<v4l2_frmsize_stepwise> sizeRange;
    bool continuousSizes = false;
    std::vector<v4l2_fract> intervals;
    std::optional<v4l2_frmival_stepwise> intervalRange;
    bool continuousIntervals = false;
    // An interval range as a UVC camera describes it: minimum, maximum and step in 100 ns units.
    // Listed the way uvcvideo lists it: stepwise, each of the three simplified on its own.
    std::optional<std::array<std::uint32_t, 3>> uvcIntervalRange;
};

struct FakeV4l2Control
{
    FakeV4l2Control() = default;
    FakeV4l2Control(std::uint32_t id, std::uint32_t type, std::int32_t minimum, std::int32_t maximum,
                    std::int32_t step, std::int32_t defaultValue, std::int32_t value)
        : id(id), type(type), minimum(minimum), maximum(maximum), step(step), defaultValue(defaultValue),
          value(value)
    {
    }

    std::uint32_t id = 0;
    std::uint32_t type = V4L2_CTRL_TYPE_INTEGER;
    std::int32_t minimum = 0;
    std::int32_t maximum = 0;
    std::int32_t step = 1;
    std::int32_t defaultValue = 0;
    std::int32_t value = 0;
    std::vector<std::int32_t> menu; // the entries a menu control has, in [minimum, maximum]
    // The control of the automatic mode that drives this one, and its value for manual.
    std::uint32_t automatic = 0;
    std::int32_t manualValue = 0;
    bool readOnly = false;
    bool unreadableWhileAutomatic = false;
};

// What happens to the next frame the node hands out.
enum class FakeV4l2Fault
{
    // The queue's fatal error (videobuf2's vb2_queue_error): from then on poll reports POLLERR
    // and VIDIOC_DQBUF and VIDIOC_QBUF fail with EIO, until VIDIOC_STREAMOFF clears it.
    QueueError,
    QueueBufferError, // the next VIDIOC_QBUF fails with EINVAL
    ShortBuffer,      // half the bytes
    CorruptJpeg,      // bytes that are no JPEG at all
    SequenceGap,      // the sequence number jumps by the fault's amount
    DamagedFrame,     // the driver marks the buffer V4L2_BUF_FLAG_ERROR
};

// MJPEG pictures as real cameras damage them.
enum class FakeJpegDamage
{
    Truncated,       // the scan data cut short (USB packets lost at the end of a frame)
    ZeroPadded,      // zeros after the end marker, up to a fixed payload size
    FlippedBytes,    // a few bytes of the scan data changed in transit
    JunkBeforeStart, // bytes before the start-of-image marker
    TallerPicture,   // coded in whole 16-row blocks: 8 rows more than the format, like 1088 for 1080
};

// How a node is set up; change only before the kernel hands out descriptors for it.
struct FakeV4l2Camera
{
    std::string node;
    std::string persistentPath; // empty: the node itself
    std::string card = "Fake Camera";
    std::string busInfo; // VIDIOC_QUERYCAP's bus_info
    // The format the node is set to before anyone asks (VIDIOC_G_FMT); the first listed when
    // unset. The interval it runs at is `currentInterval`.
    std::optional<v4l2_pix_format> current;
    v4l2_fract currentInterval{1, 30};
    // A capture card's input with DV timings (HDMI, SDI): VIDIOC_G_INPUT and VIDIOC_ENUMINPUT
    // name it, VIDIOC_QUERY_DV_TIMINGS reports the signal's size (ENOLINK without a signal),
    // VIDIOC_S_DV_TIMINGS sets it and the format takes that size; STREAMON without a signal fails
    // with ENOLINK. Source-change events are offered (VIDIOC_SUBSCRIBE_EVENT, POLLPRI,
    // VIDIOC_DQEVENT). Without: the node has no inputs to ask about, as most webcams.
    bool dvTimings = false;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> signalSize; // none: no signal
    // A driver without frame-rate control: VIDIOC_ENUM_FRAMEINTERVALS, VIDIOC_G_PARM and
    // VIDIOC_S_PARM fail with ENOTTY.
    bool noRateControl = false;
    std::uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    std::vector<FakeV4l2Format> formats;
    std::vector<FakeV4l2Control> controls;
    std::uint32_t linePadding = 0; // bytes added to every raw line
    // What VIDIOC_S_FMT states (UVC cameras: sRGB, whose Y'CbCr is BT.601, limited range). The
    // pictures are coded with BT.601 whatever it says.
    std::uint32_t colorspace = V4L2_COLORSPACE_SRGB;
    // What VIDIOC_S_FMT states as the range; R'G'B' and Bayer pictures stated as limited range
    // are coded in 16-235, as a capture card passes a CE signal's levels on.
    std::uint32_t quantization = V4L2_QUANTIZATION_DEFAULT;
    bool stripHuffmanTables = false; // MJPG frames without DHT, as many UVC cameras send them
    // Some firmware answers the rate negotiation with a rate of its own (a camera listing 30 fps
    // that settles on 24 in low light); VIDIOC_S_PARM then reports that one.
    std::optional<v4l2_fract> firmwareInterval;
    // videobuf2 may give fewer buffers than asked (memory, or the driver's own limit) and says
    // how many in the request's count.
    std::uint32_t bufferLimit = 8;
    // mmap fails with ENOMEM once this many of the node's buffer planes are mapped.
    std::uint32_t mapLimit = 64;
    // The multi-planar API (V4L2_CAP_VIDEO_CAPTURE_MPLANE, fmt.pix_mp, a plane array per
    // buffer), as SoC cameras, capture cards and vivid with multiplanar=2 offer it. Formats with
    // an M (NV12M, YUV420M) put each picture plane in a memory plane of its own; the others
    // have one.
    bool multiplanar = false;
    // Bytes before the picture in a multi-planar buffer's first plane (vivid leaves 128 for some
    // formats), counted in its bytesused.
    std::uint32_t dataOffset = 0;
    int openError = 0;     // errno of every Open
    int queryCapError = 0; // errno of VIDIOC_QUERYCAP
    std::chrono::microseconds framePeriod{2000};
    // The buffers' timestamps count this interval per frame (a camera that slows down in low
    // light); unset: the interval the node is set to. Deliveries keep `framePeriod` regardless.
    std::optional<v4l2_fract> realInterval;
};

// A stand-in for the kernel that behaves like a UVC camera: formats, sizes, intervals, controls,
// mmap buffers with a queue, poll readiness, frames of known content and injected faults.
// Thread-safe; the capture thread and the test thread use it at once.
class FakeV4l2Kernel final : public Norvex::Core::V4l2VideoCapture::KernelInterface
{
public:
    FakeV4l2Kernel();
    ~FakeV4l2Kernel() override;

    void AddCamera(FakeV4l2Camera camera);
    // A typical UVC camera: YUYV and MJPG in discrete sizes, BGRX in a stepwise range, focus,
    // brightness and contrast.
    static FakeV4l2Camera UvcCamera(const std::string& node, const std::string& card);
    // A camera of one layout in one size at 30 frames per second, delivering one every framePeriod.
    static FakeV4l2Camera OneFormatCamera(const std::string& node, std::uint32_t pixelFormat,
                                          std::uint32_t width, std::uint32_t height,
                                          std::chrono::microseconds framePeriod);
    // A multi-planar capture node (NV12M, YUV420M and YUYV in one plane), as vivid offers one.
    static FakeV4l2Camera MultiplanarCamera(const std::string& node, const std::string& card);
    // The metadata node a UVC camera has beside its video node.
    static FakeV4l2Camera MetadataNode(const std::string& node, const std::string& card);

    void InjectFault(const std::string& node, FakeV4l2Fault fault, std::uint32_t amount = 1);
    // Adding, unplugging and replugging a camera is announced to every node watch (WatchNodes),
    // as udev announces it.
    void Unplug(const std::string& node);
    // The camera comes back, powered anew (its controls at their defaults), and its node name is
    // returned: the old one, or, while a descriptor of the old node is still open, the lowest free
    // /dev/videoN, as the kernel numbers nodes.
    std::string Replug(const std::string& node);
    // Frames handed out from now on; negative: no limit. A budget of 0 is a camera that stops
    // sending: no frame and no error, poll simply waits, as with a real camera.
    void SetFrameBudget(const std::string& node, std::int64_t frames);
    // Every buffer from now on comes back marked V4L2_BUF_FLAG_ERROR (a camera whose USB
    // transfers keep losing packets); false ends that.
    void SetEveryBufferDamaged(const std::string& node, bool damaged);
    // Overrides the picture of every frame: (format, sequence) -> buffer bytes.
    using Content = std::function<std::vector<unsigned char>(const v4l2_pix_format&)>;
    void SetContent(const std::string& node, Content content);
    // Every frame from now on is the next of these byte strings, round and round, whatever the
    // format: a compressed stream whose pictures differ. Empty: one picture again.
    void SetFrameSequence(const std::string& node, std::vector<std::vector<unsigned char>> frames);

    int OpenCount(const std::string& node) const;
    std::size_t MappedCount() const;
    bool IsStreaming(const std::string& node) const;
    std::int32_t ControlValue(const std::string& node, std::uint32_t id) const;
    // The camera itself changes a control, as its automatic mode moves gain or exposure.
    void DriveControl(const std::string& node, std::uint32_t id, std::int32_t value);
    // The card's source changes to a signal of this size, or loses its signal: a source-change
    // event for those who subscribed.
    void ChangeSource(const std::string& node, std::optional<std::pair<std::uint32_t, std::uint32_t>> size);
    // How often VIDIOC_S_DV_TIMINGS succeeded on the node.
    std::uint32_t TimingsSetCount(const std::string& node) const;
    // How often VIDIOC_STREAMON succeeded on the node.
    std::uint32_t StreamOnCount(const std::string& node) const;
    v4l2_fract StreamInterval(const std::string& node) const;
    std::uint32_t FramesHandedOut(const std::string& node) const;

    // The picture every frame shows: four bands, top to bottom red, green, blue, grey (BGRA).
    static std::vector<unsigned char> ReferencePicture(std::uint32_t width, std::uint32_t height);
    static const unsigned char bandColors[4][3]; // blue, green, red
    // The format a node settles on for this layout and size: lines of the tight length plus
    // `linePadding` bytes, the image size to match (raw layouts) or room for 2 bytes a pixel
    // (compressed ones).
    static v4l2_pix_format SettledFormat(std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height,
                                         std::uint32_t linePadding = 0);
    // The picture encoded the way the node delivers `format`.
    static std::vector<unsigned char> Encode(const std::vector<unsigned char>& bgra,
                                             const v4l2_pix_format& format, bool stripHuffmanTables);
    static std::vector<unsigned char> StripHuffmanTables(const std::vector<unsigned char>& jpeg);
    // The reference picture of `format` (MJPG) with the damage; the picture the format shows is
    // unchanged by the padding, the junk and the extra rows.
    static std::vector<unsigned char> DamagedJpeg(const v4l2_pix_format& format, FakeJpegDamage damage);
    // uvcvideo's reading of n / 10^7 s: a continued fraction cut at its first large term, so
    // 333333 becomes 1/30 while 1 stays 1/10000000.
    static v4l2_fract UvcFraction(std::uint32_t hundredNanoseconds);

    int Open(const std::string& path, int flags) override;
    int Close(int fd) override;
    int Ioctl(int fd, unsigned long request, void* argument) override;
    void* Mmap(std::size_t length, int protection, int flags, int fd, off_t offset) override;
    int Munmap(void* address, std::size_t length) override;
    int Poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) override;
    std::vector<std::string> ListNodes() override;
    std::string GetPersistentPath(const std::string& node) override;
    std::unique_ptr<NodeEvents> WatchNodes() override;

private:
    struct Buffer
    {
        std::vector<std::shared_ptr<std::vector<unsigned char>>> planes; // memory planes
        bool queued = false;
        std::string contentKey; // what the memory holds, so unchanged frames are not rewritten
    };
    struct State
    {
        FakeV4l2Camera camera;
        bool present = true;
        int openCount = 0;
        int owner = -1; // the descriptor that holds the buffers
        v4l2_pix_format current{};
        v4l2_fract interval{1, 30};
        std::vector<Buffer> buffers;
        std::deque<std::uint32_t> queue;
        bool streaming = false;
        bool queueError = false; // sticky until STREAMOFF
        bool everyBufferDamaged = false;
        bool failNextQueue = false;
        std::uint32_t sequence = 0;
        std::uint32_t handedOut = 0;
        std::uint32_t streamOns = 0;
        std::uint32_t timingsSet = 0;
        std::optional<std::pair<std::uint32_t, std::uint32_t>> timings; // set by S_DV_TIMINGS
        bool sourceEvents = false;                                      // subscribed
        bool sourceChanged = false;                                     // an event waits
        std::chrono::steady_clock::time_point streamStart;
        std::int64_t budget = -1;
        std::chrono::steady_clock::time_point nextFrame;
        std::deque<std::pair<FakeV4l2Fault, std::uint32_t>> faults;
        Content content;
        std::map<std::string, std::vector<unsigned char>> encoded; // cache per format
        std::vector<std::vector<unsigned char>> frameSequence;
        std::uint64_t sequenceNext = 0;
    };
    struct OpenFile
    {
        State* state;
        int wakeEvent; // signalled when the node's state changes
    };

    State& Find(const std::string& node) const;
    void Notify(State& state);
    void AnnounceNodes(); // with the mutex held
    int Fail(int error) const;
    v4l2_pix_format Negotiate(const State& state, v4l2_pix_format wanted) const;
    // The buffer type the node streams and the sizes of a buffer's memory planes.
    std::uint32_t BufferType(const State& state) const;
    std::vector<std::uint32_t> PlaneSizes(const FakeV4l2Camera& camera, const v4l2_pix_format& format) const;
    // VIDIOC_G/S/TRY_FMT's answer in the node's API.
    void Describe(const State& state, const v4l2_pix_format& settled, v4l2_format& format) const;
    const FakeV4l2Format* FindFormat(const State& state, std::uint32_t pixelFormat) const;
    const FakeV4l2Control* FindControl(const State& state, std::uint32_t id) const;
    bool IsOverridden(const State& state, const FakeV4l2Control& control) const;
    v4l2_fract NearestInterval(const State& state, const v4l2_fract& wanted) const;
    const std::vector<unsigned char>& FrameBytes(State& state);
    // POLLIN / POLLERR of a descriptor, and when it becomes readable if it is not yet.
    short Readiness(const State& state, std::chrono::steady_clock::time_point now,
                    std::chrono::steady_clock::time_point& due) const;
    int Dequeue(State& state, v4l2_buffer& buffer);

    mutable std::mutex mutex;
    std::vector<std::unique_ptr<State>> states;
    std::map<int, OpenFile> files;
    std::map<void*, std::shared_ptr<std::vector<unsigned char>>> mappings;
    std::vector<int> nodeWatches; // eventfds of the live node watches
    int nextDescriptor = 1 << 29; // far above any real descriptor
};

} // namespace Norvex::Testing
