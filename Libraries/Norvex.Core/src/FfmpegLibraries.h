#pragma once

extern "C"
{
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace Norvex::Core
{

// The libavcodec and libavformat functions the programs use.
#define NORVEX_LIBAVCODEC_FUNCTIONS(X)                                                                       \
    X(avcodec_version)                                                                                       \
    X(avcodec_find_decoder)                                                                                  \
    X(avcodec_find_encoder_by_name)                                                                          \
    X(avcodec_alloc_context3)                                                                                \
    X(avcodec_free_context)                                                                                  \
    X(avcodec_open2)                                                                                         \
    X(avcodec_parameters_from_context)                                                                       \
    X(avcodec_send_packet)                                                                                   \
    X(avcodec_receive_frame)                                                                                 \
    X(avcodec_send_frame)                                                                                    \
    X(avcodec_receive_packet)                                                                                \
    X(av_packet_alloc)                                                                                       \
    X(av_packet_free)                                                                                        \
    X(av_packet_unref)                                                                                       \
    X(av_new_packet)                                                                                         \
    X(av_packet_rescale_ts)
#define NORVEX_LIBAVFORMAT_FUNCTIONS(X)                                                                      \
    X(avformat_version)                                                                                      \
    X(avformat_alloc_output_context2)                                                                        \
    X(avformat_free_context)                                                                                 \
    X(avformat_new_stream)                                                                                   \
    X(avformat_write_header)                                                                                 \
    X(av_interleaved_write_frame)                                                                            \
    X(av_write_trailer)                                                                                      \
    X(avio_open)                                                                                             \
    X(avio_seek)                                                                                             \
    X(avio_closep)

#define NORVEX_FFMPEG_FUNCTION_POINTER(name) decltype(&::name) name = nullptr;

// libavcodec and libavformat, opened when first needed instead of linked. With the encoders and
// protocols they pull in they are about 100 libraries, whose loading took about 27 ms of CPU and
// 23 MB at every start of the programs, while most runs neither record a movie nor decode H.264
// or HEVC. libavutil and libswscale, cheap to load and used by every conversion, stay linked.
// Each library is opened once, by the version its headers were built for, and stays open.
//
// Threads: any; the first call opens the library while the others wait.
class FfmpegLibraries
{
public:
    struct Codecs
    {
        NORVEX_LIBAVCODEC_FUNCTIONS(NORVEX_FFMPEG_FUNCTION_POINTER)
    };
    struct Formats
    {
        NORVEX_LIBAVFORMAT_FUNCTIONS(NORVEX_FFMPEG_FUNCTION_POINTER)
    };

    // Raise "FFmpeg: <the loader's message>" (`functionName`) when the library or one of its
    // functions cannot be loaded, at every call.
    static const Codecs& GetCodecs(const char* functionName);
    static const Formats& GetFormats(const char* functionName);

    // The functions, or nullptr when the library cannot be loaded.
    static const Codecs* FindCodecs() noexcept;
    static const Formats* FindFormats() noexcept;
};

#undef NORVEX_FFMPEG_FUNCTION_POINTER

} // namespace Norvex::Core
