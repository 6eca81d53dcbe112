#include "TestCameraSource.h"
#include "TestCameraPlug.h"
#include "TestCameras.h"

#include <gst/video/video.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

struct _NorvexTestCameraSource
{
    GstBin parent;
    GstPad* sourcePad; // ghost pad, retargeted whenever the inner chain is rebuilt
    gint camera;       // 1-based index into NorvexTestCamera::cameras
    // The inner chain built for the current run; empty below PAUSED.
    GstElement* chain[3];
    guint chainLength;
    guint64 framesSent;    // buffers through a faulty camera's probe in this run
    gboolean moving;       // draw the moving square and the frame counter over the picture
    guint64 framesDrawn;   // frames the drawing probe has seen in this run; streaming thread only
    gboolean unplugged;    // the camera went away in this run; streaming thread only
    guint64 framesEncoded; // pictures out of the encoder in this run; streaming thread only
};

G_DEFINE_TYPE(NorvexTestCameraSource, norvex_test_camera_source, GST_TYPE_BIN)

namespace
{

enum
{
    propertyCamera = 1,
    propertyMoving,
};

GstStaticPadTemplate sourceTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw; image/jpeg; video/x-h264"));

GstElement* MakeElement(const char* factory)
{
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (!element)
    {
        g_warning("norvextestcamerasrc: element %s is not installed", factory);
    }
    return element;
}

// Applies the camera's faults to the buffers leaving videotestsrc.
GstPadProbeReturn InjectFaults(GstPad* pad, GstPadProbeInfo* info, gpointer user)
{
    auto* self = static_cast<NorvexTestCameraSource*>(user);
    const auto& camera = NorvexTestCamera::cameras[self->camera - 1];
    const guint64 frame = ++self->framesSent; // only the streaming thread counts
    if (camera.errorAtFrame > 0 && frame == static_cast<guint64>(camera.errorAtFrame))
    {
        GST_ELEMENT_ERROR(self, RESOURCE, READ, ("The test camera reports a fault, as asked."), (nullptr));
    }
    if (camera.shortEveryOtherFrame && frame % 2 == 0)
    {
        GstCaps* caps = gst_pad_get_current_caps(pad);
        GstVideoInfo video;
        const gboolean known = caps && gst_video_info_from_caps(&video, caps);
        if (caps)
        {
            gst_caps_unref(caps);
        }
        GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
        const gsize size = gst_buffer_get_size(buffer);
        const gsize row = known ? static_cast<gsize>(GST_VIDEO_INFO_PLANE_STRIDE(&video, 0)) : 0;
        gst_buffer_resize(buffer, 0, size > row ? size - row : 0);
        GST_PAD_PROBE_INFO_DATA(info) = buffer;
    }
    return GST_PAD_PROBE_OK;
}

// Fills a rectangle of the frame with black or white, in whatever 8-bit layout it has: each
// component is written where the layout keeps it, subsampled components at their own scale.
void FillRectangle(GstVideoFrame* frame, gint left, gint top, gint width, gint height, gboolean white)
{
    const GstVideoFormatInfo* format = frame->info.finfo;
    const gboolean yuv = GST_VIDEO_FORMAT_INFO_IS_YUV(format);
    for (guint component = 0; component < GST_VIDEO_FORMAT_INFO_N_COMPONENTS(format); ++component)
    {
        guint8 value = white ? 255 : 0;
        if (component == GST_VIDEO_COMP_A)
        {
            value = 255;
        }
        else if (yuv)
        {
            value = component == GST_VIDEO_COMP_Y ? (white ? 235 : 16) : 128;
        }
        const gint horizontal = GST_VIDEO_FORMAT_INFO_W_SUB(format, component);
        const gint vertical = GST_VIDEO_FORMAT_INFO_H_SUB(format, component);
        const gint x0 = GST_VIDEO_SUB_SCALE(horizontal, left);
        const gint x1 = GST_VIDEO_SUB_SCALE(horizontal, left + width);
        const gint y0 = GST_VIDEO_SUB_SCALE(vertical, top);
        const gint y1 = GST_VIDEO_SUB_SCALE(vertical, top + height);
        const gint pixelStride = GST_VIDEO_FRAME_COMP_PSTRIDE(frame, component);
        const gint rowStride = GST_VIDEO_FRAME_COMP_STRIDE(frame, component);
        auto* data = static_cast<guint8*>(GST_VIDEO_FRAME_COMP_DATA(frame, component));
        for (gint y = y0; y < y1; ++y)
        {
            guint8* row = data + static_cast<gsize>(y) * rowStride;
            for (gint x = x0; x < x1; ++x)
            {
                row[static_cast<gsize>(x) * pixelStride] = value;
            }
        }
    }
}

// Layouts FillRectangle can write: one byte per component at a fixed place.
bool Drawable(const GstVideoFormatInfo* format)
{
    if (GST_VIDEO_FORMAT_INFO_FLAGS(format) & (GST_VIDEO_FORMAT_FLAG_COMPLEX | GST_VIDEO_FORMAT_FLAG_PALETTE))
    {
        return false;
    }
    for (guint component = 0; component < GST_VIDEO_FORMAT_INFO_N_COMPONENTS(format); ++component)
    {
        if (GST_VIDEO_FORMAT_INFO_DEPTH(format, component) != 8 ||
            GST_VIDEO_FORMAT_INFO_SHIFT(format, component) != 0)
        {
            return false;
        }
    }
    return true;
}

// Position of one axis of the bouncing square: back and forth over `range` pixels.
gint Bounce(guint64 travelled, gint range)
{
    if (range <= 0)
    {
        return 0;
    }
    const guint64 period = 2 * static_cast<guint64>(range);
    const gint phase = static_cast<gint>(travelled % period);
    return phase <= range ? phase : static_cast<gint>(period) - phase;
}

// Draws over the picture a black square bouncing off the edges and, along the top left, the
// frame number as 16 binary cells (white for a one, black for a zero, lowest bit first), so an
// encoder has motion to code and a reader can tell one frame from the next.
GstPadProbeReturn DrawMotion(GstPad* pad, GstPadProbeInfo* info, gpointer user)
{
    auto* self = static_cast<NorvexTestCameraSource*>(user);
    const guint64 frameNumber = self->framesDrawn++;
    GstCaps* caps = gst_pad_get_current_caps(pad);
    GstVideoInfo video;
    const gboolean known = caps && gst_video_info_from_caps(&video, caps);
    if (caps)
    {
        gst_caps_unref(caps);
    }
    if (!known || !Drawable(video.finfo))
    {
        return GST_PAD_PROBE_OK;
    }
    GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &video, buffer, GST_MAP_WRITE))
    {
        return GST_PAD_PROBE_OK;
    }
    const gint width = GST_VIDEO_INFO_WIDTH(&video);
    const gint height = GST_VIDEO_INFO_HEIGHT(&video);
    // Even sizes and places keep the square's edges off a shared chroma sample.
    const gint side = MAX(2, height / 4) & ~1;
    const gint step = MAX(2, height / 60) & ~1;
    const gint left = Bounce(frameNumber * step, width - side) & ~1;
    const gint top = Bounce(frameNumber * step * 3 / 4, height - side) & ~1;
    FillRectangle(&frame, left, top, MIN(side, width - left), MIN(side, height - top), FALSE);
    const gint cell = MAX(2, height / 40) & ~1;
    for (gint bit = 0; bit < 16 && (bit + 1) * cell <= width; ++bit)
    {
        FillRectangle(&frame, bit * cell, 0, cell, MIN(cell, height), (frameNumber >> bit) & 1);
    }
    gst_video_frame_unmap(&frame);
    // For measuring how old the picture on a screen is: when each numbered frame left the camera.
    static const char* const pushLog = g_getenv("NORVEX_TEST_CAMERA_PUSH_LOG");
    if (pushLog)
    {
        if (FILE* log = fopen(pushLog, "a"))
        {
            fprintf(log, "%" G_GUINT64_FORMAT " %" G_GINT64_FORMAT "\n", frameNumber,
                    g_get_monotonic_time() * 1000);
            fclose(log);
        }
    }
    return GST_PAD_PROBE_OK;
}

// A camera unplugged while it streams: one error, as a real source reports a device that went
// away, and no buffer after it.
GstPadProbeReturn FollowPlug(GstPad*, GstPadProbeInfo*, gpointer user)
{
    auto* self = static_cast<NorvexTestCameraSource*>(user);
    if (self->unplugged || NorvexTestCamera::IsPlugged(self->camera))
    {
        return self->unplugged ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
    }
    self->unplugged = TRUE;
    GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("The test camera was unplugged."), (nullptr));
    return GST_PAD_PROBE_DROP;
}

// A camera numbers what it sends (v4l2src puts the driver's sequence in the buffer's offset);
// the encoders clear the offset, so their pictures are numbered on the way out.
GstPadProbeReturn NumberEncoded(GstPad*, GstPadProbeInfo* info, gpointer user)
{
    auto* self = static_cast<NorvexTestCameraSource*>(user);
    GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
    GST_BUFFER_OFFSET(buffer) = self->framesEncoded++;
    GST_BUFFER_OFFSET_END(buffer) = self->framesEncoded;
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    return GST_PAD_PROBE_OK;
}

void ClearChain(NorvexTestCameraSource* self)
{
    gst_ghost_pad_set_target(GST_GHOST_PAD(self->sourcePad), nullptr);
    for (guint i = 0; i < self->chainLength; ++i)
    {
        gst_element_set_state(self->chain[i], GST_STATE_NULL);
        gst_bin_remove(GST_BIN(self), self->chain[i]);
    }
    self->chainLength = 0;
}

// Builds videotestsrc alone for raw video, or videotestsrc, a raw capsfilter and jpegenc or
// x264enc when the peer asks for JPEG or H.264.
gboolean BuildChain(NorvexTestCameraSource* self)
{
    const auto& camera = NorvexTestCamera::cameras[self->camera - 1];
    GstCaps* wanted = gst_pad_peer_query_caps(self->sourcePad, nullptr);
    const char* encoderName = nullptr;
    GstCaps* rawCaps = nullptr;
    if (wanted && !gst_caps_is_empty(wanted) && !gst_caps_is_any(wanted))
    {
        GstStructure* first = gst_caps_get_structure(wanted, 0);
        encoderName = gst_structure_has_name(first, "image/jpeg")     ? "jpegenc"
                      : gst_structure_has_name(first, "video/x-h264") ? "x264enc"
                                                                      : nullptr;
        if (encoderName)
        {
            GstCaps* fixed = gst_caps_fixate(gst_caps_copy_nth(wanted, 0));
            GstStructure* structure = gst_caps_get_structure(fixed, 0);
            gint width = 320, height = 240, rateNumerator = 30, rateDenominator = 1;
            gst_structure_get_int(structure, "width", &width);
            gst_structure_get_int(structure, "height", &height);
            gst_structure_get_fraction(structure, "framerate", &rateNumerator, &rateDenominator);
            rawCaps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT,
                                          width, "height", G_TYPE_INT, height, "framerate", GST_TYPE_FRACTION,
                                          rateNumerator, rateDenominator, nullptr);
            gst_caps_unref(fixed);
        }
    }
    if (wanted)
    {
        gst_caps_unref(wanted);
    }

    GstElement* source = MakeElement("videotestsrc");
    if (!source)
    {
        if (rawCaps)
        {
            gst_caps_unref(rawCaps);
        }
        return FALSE;
    }
    gst_util_set_object_arg(G_OBJECT(source), "pattern", camera.pattern);
    g_object_set(source, "is-live", TRUE, nullptr);
    if (NorvexTestCamera::PluggingFollowsFile())
    {
        self->unplugged = FALSE;
        GstPad* pad = gst_element_get_static_pad(source, "src");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, FollowPlug, self, nullptr);
        gst_object_unref(pad);
    }
    if (camera.shortEveryOtherFrame || camera.errorAtFrame > 0)
    {
        self->framesSent = 0;
        GstPad* pad = gst_element_get_static_pad(source, "src");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, InjectFaults, self, nullptr);
        gst_object_unref(pad);
    }
    GST_OBJECT_LOCK(self);
    const gboolean moving = self->moving;
    GST_OBJECT_UNLOCK(self);
    if (moving)
    {
        self->framesDrawn = 0;
        GstPad* pad = gst_element_get_static_pad(source, "src");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, DrawMotion, self, nullptr);
        gst_object_unref(pad);
    }
    self->chain[self->chainLength++] = source;
    gst_bin_add(GST_BIN(self), source);
    GstElement* last = source;
    if (encoderName)
    {
        GstElement* filter = MakeElement("capsfilter");
        GstElement* encoder = MakeElement(encoderName);
        if (!filter || !encoder)
        {
            for (GstElement* made : {filter, encoder})
            {
                if (made)
                {
                    gst_object_unref(gst_object_ref_sink(made));
                }
            }
            gst_caps_unref(rawCaps);
            return FALSE;
        }
        g_object_set(filter, "caps", rawCaps, nullptr);
        gst_caps_unref(rawCaps);
        if (std::strcmp(encoderName, "x264enc") == 0)
        {
            // As a camera's encoder: every picture out at once, a key frame every second.
            gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "ultrafast");
            gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
            g_object_set(encoder, "key-int-max", 30, "bframes", 0, nullptr);
        }
        self->chain[self->chainLength++] = filter;
        self->chain[self->chainLength++] = encoder;
        gst_bin_add_many(GST_BIN(self), filter, encoder, nullptr);
        if (!gst_element_link_many(source, filter, encoder, nullptr))
        {
            return FALSE;
        }
        last = encoder;
        self->framesEncoded = 0;
        GstPad* pad = gst_element_get_static_pad(encoder, "src");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, NumberEncoded, self, nullptr);
        gst_object_unref(pad);
    }
    GstPad* target = gst_element_get_static_pad(last, "src");
    const gboolean targeted = gst_ghost_pad_set_target(GST_GHOST_PAD(self->sourcePad), target);
    gst_object_unref(target);
    // The new children follow the bin up from NULL.
    for (guint i = 0; i < self->chainLength; ++i)
    {
        gst_element_sync_state_with_parent(self->chain[i]);
    }
    return targeted;
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition)
{
    auto* self = NORVEX_TEST_CAMERA_SOURCE(element);
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED)
    {
        if (!NorvexTestCamera::IsPlugged(self->camera))
        {
            GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("The test camera is not plugged in."), (nullptr));
            return GST_STATE_CHANGE_FAILURE;
        }
        ClearChain(self);
        if (!BuildChain(self))
        {
            GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("The test camera could not build its source."),
                              (nullptr));
            ClearChain(self);
            return GST_STATE_CHANGE_FAILURE;
        }
    }
    const GstStateChangeReturn result =
        GST_ELEMENT_CLASS(norvex_test_camera_source_parent_class)->change_state(element, transition);
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY)
    {
        ClearChain(self);
    }
    return result;
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec)
{
    auto* self = NORVEX_TEST_CAMERA_SOURCE(object);
    if (id == propertyCamera)
    {
        GST_OBJECT_LOCK(self);
        self->camera = g_value_get_int(value);
        GST_OBJECT_UNLOCK(self);
        return;
    }
    if (id == propertyMoving)
    {
        GST_OBJECT_LOCK(self);
        self->moving = g_value_get_boolean(value);
        GST_OBJECT_UNLOCK(self);
        return;
    }
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* spec)
{
    auto* self = NORVEX_TEST_CAMERA_SOURCE(object);
    if (id == propertyCamera)
    {
        GST_OBJECT_LOCK(self);
        g_value_set_int(value, self->camera);
        GST_OBJECT_UNLOCK(self);
        return;
    }
    if (id == propertyMoving)
    {
        GST_OBJECT_LOCK(self);
        g_value_set_boolean(value, self->moving);
        GST_OBJECT_UNLOCK(self);
        return;
    }
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
}

} // namespace

static void norvex_test_camera_source_init(NorvexTestCameraSource* self)
{
    self->camera = 1;
    self->chainLength = 0;
    self->moving = FALSE;
    self->unplugged = FALSE;
    GstPadTemplate* padTemplate = gst_static_pad_template_get(&sourceTemplate);
    self->sourcePad = gst_ghost_pad_new_no_target_from_template("src", padTemplate);
    gst_object_unref(padTemplate);
    gst_element_add_pad(GST_ELEMENT(self), self->sourcePad);
    GST_OBJECT_FLAG_SET(self, GST_ELEMENT_FLAG_SOURCE);
}

static void norvex_test_camera_source_class_init(NorvexTestCameraSourceClass* klass)
{
    GObjectClass* objectClass = G_OBJECT_CLASS(klass);
    objectClass->set_property = SetProperty;
    objectClass->get_property = GetProperty;
    g_object_class_install_property(
        objectClass, propertyCamera,
        g_param_spec_int("camera", "Camera", "Which test camera (1-based)", 1, NorvexTestCamera::cameraCount,
                         1, static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
    // Off by default: tests that read exact pixels rely on the still picture.
    g_object_class_install_property(
        objectClass, propertyMoving,
        g_param_spec_boolean("moving", "Moving",
                             "Draw a bouncing square and a binary frame counter over the picture (read when "
                             "the element starts)",
                             FALSE, static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

    GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
    elementClass->change_state = ChangeState;
    gst_element_class_add_static_pad_template(elementClass, &sourceTemplate);
    gst_element_class_set_static_metadata(elementClass, "Norvex test camera", "Source/Video",
                                          "A live test picture offered as raw video or JPEG", "Norvex");
}
