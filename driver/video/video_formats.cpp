// The thirteen YUY2 formats of every video pin and the intersection handler that turns a
// matched range into a concrete KS_DATAFORMAT_VIDEOINFOHEADER.
#include "driver/public.h"
#include "driver/video/video_input.h"

namespace {

constexpr LONGLONG kMinFrameInterval = 166666;    // 60 frames per second
constexpr LONGLONG kMaxFrameInterval = 10000000;  // 1 frame per second

// Bits per second of a W × H frame at 16 bits per pixel and 60 frames per second.
constexpr ULONG BitRate(ULONG w, ULONG h) { return w * h * 960; }
constexpr ULONG ImageSize(ULONG w, ULONG h) { return w * h * 2; }

// One fixed-size range of exactly one size and one rate.
constexpr KS_DATARANGE_VIDEO Range(ULONG w, ULONG h) {
    const LONG cx = static_cast<LONG>(w);
    const LONG cy = static_cast<LONG>(h);
    return KS_DATARANGE_VIDEO{
        {{sizeof(KS_DATARANGE_VIDEO), 0, ImageSize(w, h), 0, kTypeVideo, kSubtypeYUY2, kSpecifierVideoInfo}},
        1,  // bFixedSizeSamples
        0,  // bTemporalCompression
        0,  // StreamDescriptionFlags
        0,  // MemoryAllocationFlags
        {
            kSpecifierVideoInfo,
            0,         // VideoStandard
            {cx, cy},  // InputSize
            {cx, cy},  // MinCroppingSize
            {cx, cy},  // MaxCroppingSize
            1,
            1,  // CropGranularityX, Y
            1,
            1,         // CropAlignX, Y
            {cx, cy},  // MinOutputSize
            {cx, cy},  // MaxOutputSize
            1,
            1,  // OutputGranularityX, Y
            0,
            0,
            0,
            0,  // StretchTaps, ShrinkTaps
            kMinFrameInterval,
            kMaxFrameInterval,
            static_cast<LONG>(BitRate(w, h)),
            static_cast<LONG>(BitRate(w, h)),
        },
        {
            {0, 0, 0, 0},       // rcSource
            {0, 0, 0, 0},       // rcTarget
            BitRate(w, h),      // dwBitRate
            0,                  // dwBitErrorRate
            kMinFrameInterval,  // AvgTimePerFrame
            {sizeof(KS_BITMAPINFOHEADER), cx, cy, 1, 16, 0x32595559 /* YUY2 */, ImageSize(w, h), 0, 0, 0, 0},
        },
    };
}

}  // namespace

// Entry 0 describes the detected signal and starts as 1280 × 720; the other twelve never change.
#define QH_VIDEO_FORMATS                                                                                             \
    {                                                                                                                \
        Range(1280, 720), Range(1280, 720), Range(1920, 1080), Range(1680, 1056), Range(1024, 576), Range(850, 480), \
            Range(720, 576), Range(720, 540), Range(720, 480), Range(720, 404), Range(704, 576), Range(640, 480),    \
            Range(640, 360)                                                                                          \
    }

constinit KS_DATARANGE_VIDEO channel0VideoFormats[kVideoFormatCount] = QH_VIDEO_FORMATS;
constinit KS_DATARANGE_VIDEO channel1VideoFormats[kVideoFormatCount] = QH_VIDEO_FORMATS;
constinit KS_DATARANGE_VIDEO channel2VideoFormats[kVideoFormatCount] = QH_VIDEO_FORMATS;
constinit KS_DATARANGE_VIDEO channel3VideoFormats[kVideoFormatCount] = QH_VIDEO_FORMATS;
#undef QH_VIDEO_FORMATS

#define QH_VIDEO_RANGES(t)                                                                                          \
    {                                                                                                               \
        &t[0].DataRange, &t[1].DataRange, &t[2].DataRange, &t[3].DataRange, &t[4].DataRange, &t[5].DataRange,       \
            &t[6].DataRange, &t[7].DataRange, &t[8].DataRange, &t[9].DataRange, &t[10].DataRange, &t[11].DataRange, \
            &t[12].DataRange                                                                                        \
    }

constinit const PKSDATARANGE channel0VideoRanges[kVideoFormatCount] = QH_VIDEO_RANGES(channel0VideoFormats);
constinit const PKSDATARANGE channel1VideoRanges[kVideoFormatCount] = QH_VIDEO_RANGES(channel1VideoFormats);
constinit const PKSDATARANGE channel2VideoRanges[kVideoFormatCount] = QH_VIDEO_RANGES(channel2VideoFormats);
constinit const PKSDATARANGE channel3VideoRanges[kVideoFormatCount] = QH_VIDEO_RANGES(channel3VideoFormats);
#undef QH_VIDEO_RANGES

namespace video {

void WriteDetectedRange(KS_DATARANGE_VIDEO& range, ULONG width, ULONG height) {
    const LONG cx = static_cast<LONG>(width);
    const LONG cy = static_cast<LONG>(height);
    const ULONG bits = width * 960 * height;
    range.DataRange.SampleSize = width * height * 2;
    range.ConfigCaps.InputSize = {cx, cy};
    range.ConfigCaps.MinCroppingSize = {cx, cy};
    range.ConfigCaps.MaxCroppingSize = {cx, cy};
    range.ConfigCaps.MinOutputSize = {cx, cy};
    range.ConfigCaps.MaxOutputSize = {cx, cy};
    range.ConfigCaps.MinBitsPerSecond = static_cast<LONG>(bits);
    range.ConfigCaps.MaxBitsPerSecond = static_cast<LONG>(bits);
    range.VideoInfoHeader.dwBitRate = bits;
    range.VideoInfoHeader.bmiHeader.biWidth = cx;
    range.VideoInfoHeader.bmiHeader.biHeight = cy;
    range.VideoInfoHeader.bmiHeader.biSizeImage = width * height * 2;
}

}  // namespace video

NTSTATUS NTAPI VideoIntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                                     PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data,
                                     PULONG DataSize) {
    (void)Context;
    (void)Irp;
    (void)Pin;
    if (DataBufferSize == 0) {
        *DataSize = video::kFormatSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (DataBufferSize < video::kFormatSize) return STATUS_BUFFER_TOO_SMALL;
    if (!IsEqualGUID(DataRange->Specifier, kSpecifierVideoInfo) || DataRange->FormatSize != sizeof(KS_DATARANGE_VIDEO))
        return STATUS_NO_MATCH;

    const auto* client = reinterpret_cast<const KS_DATARANGE_VIDEO*>(DataRange);
    const auto* mine = reinterpret_cast<const KS_DATARANGE_VIDEO*>(MatchingDataRange);
    if (client->bFixedSizeSamples != mine->bFixedSizeSamples ||
        client->bTemporalCompression != mine->bTemporalCompression ||
        client->StreamDescriptionFlags != mine->StreamDescriptionFlags ||
        client->MemoryAllocationFlags != mine->MemoryAllocationFlags ||
        RtlCompareMemory(&client->ConfigCaps, &mine->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)) !=
            sizeof(KS_VIDEO_STREAM_CONFIG_CAPS))
        return STATUS_NO_MATCH;

    // The result is the client's own range turned into a format: its header and its
    // VideoInfoHeader pass through unchanged.
    auto* format = static_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(Data);
    *DataSize = video::kFormatSize;
    RtlCopyMemory(&format->DataFormat, &client->DataRange, sizeof(KSDATAFORMAT));
    format->DataFormat.FormatSize = video::kFormatSize;
    RtlCopyMemory(&format->VideoInfoHeader, &client->VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER));
    return STATUS_SUCCESS;
}
