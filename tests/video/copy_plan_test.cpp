// The copy rules of frame delivery, checked over many geometries and client buffer sizes: the
// copy never writes past the client's FrameExtent, never reads outside a 4 MiB DMA buffer, and
// delivers whole frames whenever the buffer can hold them.
#include "driver/video/video_input.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct Geometry {
    ULONG width, height;
};

constexpr Geometry kGeometries[] = {
    {1920, 1080}, {1280, 720}, {1680, 1056}, {1024, 576}, {850, 480},   {720, 576},   {720, 540},
    {720, 480},   {720, 404},  {704, 576},   {640, 480},  {640, 360},   {1366, 768},  {1366, 767},
    {1, 1},       {3, 5},      {2048, 1080}, {8191, 300}, {2048, 2048}, {4096, 2160},
};

// Walks the lines a plan writes and checks every destination and source range.
void CheckBounds(const Geometry& g, bool interlaced, ULONG index, ULONG extent) {
    const video::CopyPlan plan = video::PlanCopy(g.width, g.height, interlaced, index, extent);
    SCOPED_TRACE(testing::Message() << g.width << "x" << g.height << (interlaced ? "i" : "p") << " index " << index
                                    << " extent " << extent);
    if (!plan.deliver) return;
    ASSERT_EQ(plan.lineBytes, g.width * 2);
    ASSERT_LE(plan.lines, g.height);
    ASSERT_LE(plan.dataUsed, extent);
    if (plan.lines == 0) return;
    // Short of the whole frame, DataUsed covers exactly the lines written.
    if (plan.lines < g.height) {
        EXPECT_EQ(plan.dataUsed, (plan.lines - 1) * plan.dstPitch + plan.lineBytes);
    }
    ASSERT_GE(plan.dstPitch, plan.lineBytes);
    const uint64_t lastLine = plan.lines - 1;
    // Last destination line ends inside the client's buffer.
    EXPECT_LE(lastLine * plan.dstPitch + plan.lineBytes, extent);
    // Last source line ends inside its DMA buffer.
    const uint64_t sourceLine = interlaced ? lastLine / 2 : lastLine;
    EXPECT_LE(sourceLine * plan.lineBytes + plan.lineBytes, uint64_t(kVideoBufferSize));
}

TEST(CopyPlan, NeverOverrunsEitherSideForAnyGeometryOrBufferSize) {
    for (const Geometry& g : kGeometries) {
        const uint64_t frame = uint64_t(g.width) * g.height * 2;
        const uint64_t extents[] = {
            0,     1,         g.width * 2ull - 1,           g.width * 2ull, frame / 2,    frame - 1,
            frame, frame + 1, frame + g.height * 2ull * 64, frame * 2,      0xFFFFFFFFull};
        for (uint64_t e : extents) {
            const ULONG extent = static_cast<ULONG>(e > 0xFFFFFFFFull ? 0xFFFFFFFFull : e);
            for (ULONG index = 0; index < 4; ++index) {
                CheckBounds(g, false, index, extent);
                CheckBounds(g, true, index, extent);
            }
        }
    }
}

TEST(CopyPlan, WholeFramesWhenTheBufferHoldsThemAndPartialOnesOtherwise) {
    // Progressive 1080p into an exact buffer: one packed block, DataUsed = FrameExtent.
    video::CopyPlan p = video::PlanCopy(1920, 1080, false, 2, 4147200);
    EXPECT_TRUE(p.deliver);
    EXPECT_EQ(p.lines, 1080u);
    EXPECT_EQ(p.dstPitch, 3840u);
    EXPECT_EQ(p.dataUsed, 4147200u);

    // Larger buffer: still packed, and DataUsed reports the whole buffer as before.
    p = video::PlanCopy(1280, 720, false, 0, 4194304);
    EXPECT_EQ(p.lines, 720u);
    EXPECT_EQ(p.dstPitch, 2560u);
    EXPECT_EQ(p.dataUsed, 4194304u);

    // Too small: only whole lines, and DataUsed says how many bytes were really filled.
    p = video::PlanCopy(1920, 1080, false, 0, 3840 * 500 + 100);
    EXPECT_TRUE(p.deliver);
    EXPECT_EQ(p.lines, 500u);
    EXPECT_EQ(p.dataUsed, 3840u * 500);

    // Index 3 names no buffer of a progressive input: nothing is delivered.
    EXPECT_FALSE(video::PlanCopy(1920, 1080, false, 3, 4147200).deliver);
    // Index 3 of an interlaced input weaves buffers 1 and 2, which exist.
    EXPECT_TRUE(video::PlanCopy(1920, 1080, true, 3, 4147200).deliver);

    // Interlaced with a wider buffer: lines at the client's pitch.
    const ULONG pitchBytes = 2048 * 2;
    p = video::PlanCopy(1920, 1080, true, 0, pitchBytes * 1080);
    EXPECT_EQ(p.dstPitch, pitchBytes);
    EXPECT_EQ(p.lines, 1080u);
    EXPECT_EQ(p.dataUsed, pitchBytes * 1080);

    // Interlaced with a pitch below the width: packed lines, as many as fit.
    p = video::PlanCopy(1920, 1080, true, 1, 3840 * 700);
    EXPECT_EQ(p.dstPitch, 3840u);
    EXPECT_EQ(p.lines, 700u);
    EXPECT_EQ(p.dataUsed, 3840u * 700);

    // Odd height interlaced: every frame line once, none beyond the frame.
    p = video::PlanCopy(1366, 767, true, 0, 1366 * 767 * 2);
    EXPECT_EQ(p.lines, 767u);
    EXPECT_EQ(p.dataUsed, 1366u * 767 * 2);

    // A frame larger than one DMA buffer is cut at the buffer's last whole line.
    p = video::PlanCopy(2048, 2048, false, 0, 2048 * 2048 * 2);
    EXPECT_EQ(p.lines, kVideoBufferSize / 4096);

    // No geometry: nothing to deliver (and no division by a zero height).
    EXPECT_FALSE(video::PlanCopy(1920, 0, true, 0, 4147200).deliver);
    EXPECT_FALSE(video::PlanCopy(0, 1080, false, 0, 4147200).deliver);
}

}  // namespace
