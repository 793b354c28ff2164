// Formats as a client sees them: the thirteen ranges, intersection, and detection rewriting
// entry 0 when the video filter is opened.
#include "video_bed.h"

namespace videotest {
namespace {

constexpr uint32_t kFormatBytes = 152;

struct Size {
    LONG w, h;
};
constexpr Size kTableSizes[13] = {{0, 0},     {1280, 720}, {1920, 1080}, {1680, 1056}, {1024, 576},
                                  {850, 480}, {720, 576},  {720, 540},   {720, 480},   {720, 404},
                                  {704, 576}, {640, 480},  {640, 360}};

const KS_DATAFORMAT_VIDEOINFOHEADER& AsFormat(const std::vector<uint8_t>& bytes) {
    return *reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(bytes.data());
}

void ExpectRangeDescribes(const KS_DATARANGE_VIDEO& r, LONG w, LONG h) {
    const ULONG image = ULONG(w) * ULONG(h) * 2;
    const ULONG bits = ULONG(w) * ULONG(h) * 960;
    EXPECT_EQ(r.DataRange.FormatSize, sizeof(KS_DATARANGE_VIDEO));
    EXPECT_EQ(r.DataRange.SampleSize, image);
    EXPECT_TRUE(IsEqualGUID(r.DataRange.MajorFormat, kTypeVideo));
    EXPECT_TRUE(IsEqualGUID(r.DataRange.SubFormat, kSubtypeYUY2));
    EXPECT_TRUE(IsEqualGUID(r.DataRange.Specifier, kSpecifierVideoInfo));
    EXPECT_EQ(r.bFixedSizeSamples, 1);
    EXPECT_EQ(r.ConfigCaps.InputSize.cx, w);
    EXPECT_EQ(r.ConfigCaps.InputSize.cy, h);
    EXPECT_EQ(r.ConfigCaps.MinOutputSize.cx, w);
    EXPECT_EQ(r.ConfigCaps.MaxCroppingSize.cy, h);
    EXPECT_EQ(r.ConfigCaps.MinFrameInterval, 166666);
    EXPECT_EQ(r.ConfigCaps.MaxFrameInterval, 10000000);
    EXPECT_EQ(ULONG(r.ConfigCaps.MaxBitsPerSecond), bits);
    EXPECT_EQ(r.VideoInfoHeader.dwBitRate, bits);
    EXPECT_EQ(r.VideoInfoHeader.AvgTimePerFrame, 166666);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biWidth, w);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biHeight, h);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biBitCount, 16);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biCompression, 0x32595559u);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, image);
}

TEST(VideoFormats, TableAndIntersectionAsAClientSeesThem) {
    VideoBed vb;
    auto filter = vb.OpenVideo(2);  // 1280x720p60 on the default card
    ASSERT_TRUE(filter);
    auto pins = filter->pins();
    ASSERT_EQ(pins.size(), 1u);
    ASSERT_EQ(pins[0].ranges.size(), 13u);
    // Entry 0 is the detected 720p signal; the others are fixed.
    ExpectRangeDescribes(VideoBed::AsRange(pins[0].ranges[0]), 1280, 720);
    for (uint32_t i = 1; i < 13; ++i) {
        SCOPED_TRACE(i);
        ExpectRangeDescribes(VideoBed::AsRange(pins[0].ranges[i]), kTableSizes[i].w, kTableSizes[i].h);
    }

    const std::vector<uint8_t> entry2 = pins[0].ranges[2];
    // Size query, then a buffer one byte short.
    auto result = filter->intersect_raw(0, {entry2}, 0);
    EXPECT_EQ(result.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result.bytes_returned, kFormatBytes);
    result = filter->intersect_raw(0, {entry2}, kFormatBytes - 1);
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);

    // The entry as enumerated gives the 1080p format.
    result = filter->intersect_raw(0, {entry2}, kFormatBytes);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.bytes_returned, kFormatBytes);
    const auto& format = AsFormat(result.data);
    EXPECT_EQ(format.DataFormat.FormatSize, kFormatBytes);
    EXPECT_EQ(format.DataFormat.SampleSize, kFrame1080);
    EXPECT_TRUE(IsEqualGUID(format.DataFormat.Specifier, kSpecifierVideoInfo));
    EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biWidth, 1920);
    EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biHeight, 1080);
    EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biSizeImage, kFrame1080);
    EXPECT_EQ(format.VideoInfoHeader.AvgTimePerFrame, 166666);

    // A range that differs only in its capabilities (MaxFrameInterval) matches no entry.
    std::vector<uint8_t> other_caps = entry2;
    reinterpret_cast<KS_DATARANGE_VIDEO*>(other_caps.data())->ConfigCaps.MaxFrameInterval = 333333;
    EXPECT_EQ(filter->intersect_raw(0, {other_caps}, kFormatBytes).status, STATUS_NO_MATCH);

    // A range that differs only in its VideoInfoHeader passes through with the client's values.
    std::vector<uint8_t> other_rate = entry2;
    reinterpret_cast<KS_DATARANGE_VIDEO*>(other_rate.data())->VideoInfoHeader.AvgTimePerFrame = 333333;
    result = filter->intersect_raw(0, {other_rate}, kFormatBytes);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(AsFormat(result.data).VideoInfoHeader.AvgTimePerFrame, 333333);
    EXPECT_EQ(AsFormat(result.data).VideoInfoHeader.bmiHeader.biWidth, 1920);

    // A range of another specifier or size never matches.
    std::vector<uint8_t> short_range(entry2.begin(), entry2.begin() + sizeof(KSDATARANGE));
    reinterpret_cast<KSDATARANGE*>(short_range.data())->FormatSize = sizeof(KSDATARANGE);
    EXPECT_EQ(filter->intersect_raw(0, {short_range}, kFormatBytes).status, STATUS_NO_MATCH);
}

TEST(VideoDetection, SignalsPublishedAsEntryZero) {
    qh::TestbedOptions options = ManualOptions();
    options.card.sources[0] = *sim::parse_source("1366x768p60");
    VideoBed vb(options);

    // An unusual progressive size is published as is, and intersection hands it out.
    host::trace::Mark mark = host::trace::mark();
    auto filter0 = vb.OpenVideo(0);
    ASSERT_TRUE(filter0);
    ExpectRangeDescribes(VideoBed::AsRange(VideoBed::Range(*filter0, 0)), 1366, 768);
    EXPECT_EQ(host::trace::count_exact(mark, "pix:1366 "), 1u);
    EXPECT_EQ(host::trace::count_exact(mark, "line:768 \n"), 1u);
    auto format = VideoBed::Format(*filter0, 0);
    ASSERT_EQ(format.size(), kFormatBytes);
    EXPECT_EQ(AsFormat(format).VideoInfoHeader.bmiHeader.biWidth, 1366);
    EXPECT_EQ(AsFormat(format).VideoInfoHeader.bmiHeader.biHeight, 768);
    // A request built from the load-time entry 0 (1280x720) still finds entry 1's values.
    format = VideoBed::Format(*filter0, 1);
    ASSERT_EQ(format.size(), kFormatBytes);
    EXPECT_EQ(AsFormat(format).VideoInfoHeader.bmiHeader.biWidth, 1280);
    EXPECT_EQ(AsFormat(format).VideoInfoHeader.bmiHeader.biHeight, 720);

    // 1080i (540-line fields): the whole frame's height.
    mark = host::trace::mark();
    auto filter1 = vb.OpenVideo(1);
    ASSERT_TRUE(filter1);
    const std::vector<uint8_t> entry0 = VideoBed::Range(*filter1, 0);
    const auto& r1 = VideoBed::AsRange(entry0);
    ExpectRangeDescribes(r1, 1920, 1080);
    EXPECT_EQ(r1.VideoInfoHeader.dwBitRate, 1990656000u);
    EXPECT_EQ(host::trace::count_exact(mark, "line:540 \n"), 1u);
    EXPECT_NE(host::trace::text_since(mark).find("HDMI Interlaced Input:"), std::string::npos);

    // No cable on input 3: the connect byte and the no-cable line, no size reads, entry unchanged.
    const std::vector<uint8_t> before3 = VideoBed::Range(*vb.OpenVideo(3), 0);
    mark = host::trace::mark();
    auto filter3 = vb.OpenVideo(3);
    ASSERT_TRUE(filter3);
    std::string text = host::trace::text_since(mark);
    EXPECT_NE(text.find("temp connect video3 :"), std::string::npos);
    EXPECT_EQ(host::trace::count_exact(mark, " HDMI cable is not connect 0!!!\n"), 1u);
    EXPECT_EQ(text.find("pix:"), std::string::npos);
    EXPECT_EQ(VideoBed::Range(*filter3, 0), before3);

    // A frame larger than a DMA buffer (2048x1080 is 4,423,680 bytes) is refused like size 0.
    const std::vector<uint8_t> before2 = VideoBed::Range(*vb.OpenVideo(2), 0);
    vb.bed.card().set_source(2, *sim::parse_source("2048x1080p60"));
    mark = host::trace::mark();
    auto filter2 = vb.OpenVideo(2);
    ASSERT_TRUE(filter2);
    EXPECT_EQ(host::trace::count_exact(mark, "pix:2048 "), 1u);
    EXPECT_EQ(host::trace::count_exact(mark, "image size error\n"), 1u);
    EXPECT_EQ(VideoBed::Range(*filter2, 0), before2);

    // A failed connect read (the I2C master hangs on every attempt) counts as no cable.
    vb.bed.card().fail_next_i2c_transfers(2, 3);
    mark = host::trace::mark();
    auto again2 = vb.OpenVideo(2);
    ASSERT_TRUE(again2);
    EXPECT_EQ(host::trace::count_exact(mark, " HDMI cable is not connect 0!!!\n"), 1u);
    EXPECT_EQ(host::trace::text_since(mark).find("pix:"), std::string::npos);
}

TEST(VideoDetection, ReceiverWithoutLockReportsSizeErrorAndKeepsEntry) {
    qh::TestbedOptions options = ManualOptions();
    options.card.settle_ms = 3600 * 1000;  // the receiver never locks during the test
    VideoBed vb(options);
    const std::vector<uint8_t> before = [&] {
        // Entry 0 as the table holds it now (left by earlier detections in this process).
        auto f = vb.OpenVideo(0);
        return VideoBed::Range(*f, 0);
    }();
    const host::trace::Mark mark = host::trace::mark();
    auto filter = vb.OpenVideo(0);
    ASSERT_TRUE(filter);
    EXPECT_EQ(host::trace::count_exact(mark, "pix:0 "), 1u);
    EXPECT_EQ(host::trace::count_exact(mark, "image size error\n"), 1u);
    EXPECT_EQ(VideoBed::Range(*filter, 0), before);
}

}  // namespace
}  // namespace videotest
