// What an audio pin offers and accepts: intersection, the rate detection at filter creation,
// format acceptance, and the ADC-node and pin properties.
#include "tests/audio/audio_bed.h"

namespace audiotest {
namespace {

const KSDATAFORMAT_WAVEFORMATEX& AsWave(const std::vector<uint8_t>& bytes) {
    return *reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX*>(bytes.data());
}

TEST(AudioIntersection, EqualRangeGivesThePcmFormatAndOtherRangesDoNot) {
    AudioBed a;
    for (uint32_t input = 0; input < 4; ++input) {
        SCOPED_TRACE(input);
        auto filter = a.OpenAudio(input);
        ASSERT_TRUE(filter);
        a.bed.clear_trace();

        std::vector<uint8_t> format;
        ASSERT_EQ(filter->intersect(0, {EqualRange()}, format), STATUS_SUCCESS);
        ASSERT_EQ(format.size(), 82u);
        const auto& f = AsWave(format);
        EXPECT_EQ(f.DataFormat.FormatSize, 82u);
        EXPECT_EQ(f.DataFormat.SampleSize, 4u);
        EXPECT_EQ(f.DataFormat.Flags, 0u);
        EXPECT_TRUE(IsEqualGUID(f.DataFormat.MajorFormat, kTypeAudio));
        EXPECT_TRUE(IsEqualGUID(f.DataFormat.SubFormat, kSubtypePcm));
        EXPECT_TRUE(IsEqualGUID(f.DataFormat.Specifier, kSpecifierWaveFormatEx));
        EXPECT_EQ(f.WaveFormatEx.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(f.WaveFormatEx.nChannels, 2);
        EXPECT_EQ(f.WaveFormatEx.nSamplesPerSec, 48000u);
        EXPECT_EQ(f.WaveFormatEx.nAvgBytesPerSec, 192000u);
        EXPECT_EQ(f.WaveFormatEx.nBlockAlign, 4);
        EXPECT_EQ(f.WaveFormatEx.wBitsPerSample, 16);
        EXPECT_EQ(f.WaveFormatEx.cbSize, 0);
        EXPECT_GE(a.bed.trace_count("channel" + std::to_string(input) + "AudioIntersectHandler sample:16 \n"), 1u);

        // Size query, whether or not the ranges match; then a buffer one byte short.
        for (const auto& range : {EqualRange(), ClientRange(8, 8, 32, 8000, 192000)}) {
            auto query = filter->intersect_raw(0, {range}, 0);
            EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
            EXPECT_EQ(query.bytes_returned, 82u);
        }
        EXPECT_EQ(filter->intersect_raw(0, {EqualRange()}, 81).status, STATUS_BUFFER_TOO_SMALL);
        auto exact = filter->intersect_raw(0, {EqualRange()}, 82);
        EXPECT_EQ(exact.status, STATUS_SUCCESS);
        EXPECT_EQ(exact.bytes_returned, 82u);

        // Ranges must be equal, not merely contain the pin's.
        a.bed.clear_trace();
        EXPECT_EQ(filter->intersect(0, {ClientRange(1, 16, 16, 48000, 48000)}, format), STATUS_NO_MATCH);
        EXPECT_EQ(filter->intersect(0, {ClientRange(2, 16, 16, 44100, 48000)}, format), STATUS_NO_MATCH);
        EXPECT_EQ(filter->intersect(0, {ClientRange(8, 16, 16, 48000, 48000)}, format), STATUS_NO_MATCH);
        EXPECT_EQ(filter->intersect(0, {ClientRange(2, 8, 16, 48000, 48000)}, format), STATUS_NO_MATCH);
        EXPECT_EQ(a.bed.trace_count("channel" + std::to_string(input) + "AudioIntersectHandler sample:16 \n"), 0u);
    }
}

TEST(AudioIntersection, ShortClientRangeIsNoMatchAndNotReadPastItsEnd) {
    AudioBed a;
    auto filter = a.OpenAudio(0);
    ASSERT_TRUE(filter);
    // A bare 64-byte audio range; the class lays it out with nothing after it but the next
    // range's header, which here carries fields that would match if they were read as audio.
    std::vector<uint8_t> bare(sizeof(KSDATARANGE));
    KSDATARANGE header{};
    header.FormatSize = sizeof(KSDATARANGE);
    header.MajorFormat = kTypeAudio;
    header.SubFormat = kSubtypePcm;
    header.Specifier = kSpecifierWaveFormatEx;
    std::memcpy(bare.data(), &header, sizeof header);
    std::vector<uint8_t> format;
    EXPECT_EQ(filter->intersect(0, {bare}, format), STATUS_NO_MATCH);
    // The full range after it still matches: the short one only moved the search on.
    EXPECT_EQ(filter->intersect(0, {bare, EqualRange()}, format), STATUS_SUCCESS);
    EXPECT_EQ(format.size(), 82u);
}

// The rate trace of input `input` as the driver prints it.
std::string RateLine(uint32_t input, uint32_t chip, uint32_t looked_up) {
    return "Set Audio" + std::to_string(input) + " rate:48000,chip value: " + std::to_string(chip) +
           ", rate: " + std::to_string(looked_up) + "\n";
}

TEST(AudioRate, DetectionTracesTheSourceButTheRateStays48k) {
    qh::TestbedOptions options = AllSourcesManual();
    options.card.sources[2].cable = false;
    AudioBed a(options);

    // No source: one receiver read; the looked-up rate stays 48000.
    a.bed.clear_trace();
    auto none = a.OpenAudio(2);
    ASSERT_TRUE(none);
    const uint8_t status = a.bed.card().receiver_register(2, sim::Map::IO, 0x6F);
    EXPECT_EQ(status & 1, 0);
    char connect[64];
    std::snprintf(connect, sizeof connect, "audio2 connect:%x  \n", status);
    EXPECT_EQ(a.bed.trace_count(connect), 1u);
    EXPECT_EQ(a.bed.trace_count(RateLine(2, status, 48000)), 1u);
    EXPECT_EQ(SharedRead(a.Channel(2).AudioSampleRate), 48000u);

    // Code 0 announces 44.1 kHz: traced, but the rate and the first range stay 48000 and a
    // 48 kHz PCM format is still accepted.
    auto source = a.bed.card().source(0);
    source.audio_code = 0;
    a.bed.card().set_source(0, source);
    a.bed.clear_trace();
    auto filter = a.OpenAudio(0);
    ASSERT_TRUE(filter);
    const uint8_t chip = a.bed.card().receiver_register(0, sim::Map::HDMI, 0x39);
    EXPECT_EQ(chip & 0xF, 0);
    EXPECT_EQ(a.bed.trace_count(RateLine(0, chip, 44100)), 1u) << a.bed.trace_text();
    EXPECT_EQ(SharedRead(a.Channel(0).AudioSampleRate), 48000u);
    const auto pins = filter->pins();
    const auto& first = *reinterpret_cast<const KSDATARANGE_AUDIO*>(pins[0].ranges[0].data());
    EXPECT_EQ(first.MinimumSampleFrequency, 48000u);
    EXPECT_EQ(first.MaximumSampleFrequency, 48000u);
    auto pin = AudioBed::CreatePin(*filter);
    EXPECT_TRUE(pin);

    // Codes the driver does not map are traced as rate 0; mapped ones with their rate.
    const std::pair<uint8_t, uint32_t> codes[] = {{1, 0},  {4, 0},     {7, 0},     {11, 0},     {13, 0},
                                                  {15, 0}, {2, 48000}, {3, 32000}, {9, 768000}, {14, 192000}};
    for (const auto& [code, rate] : codes) {
        SCOPED_TRACE(static_cast<int>(code));
        source = a.bed.card().source(1);
        source.audio_code = code;
        a.bed.card().set_source(1, source);
        a.bed.clear_trace();
        auto other = a.OpenAudio(1);
        const uint8_t value = a.bed.card().receiver_register(1, sim::Map::HDMI, 0x39);
        EXPECT_EQ(value & 0xF, code);
        EXPECT_EQ(a.bed.trace_count(RateLine(1, value, rate)), 1u) << a.bed.trace_text();
        EXPECT_EQ(SharedRead(a.Channel(1).AudioSampleRate), 48000u);
    }
}

TEST(AudioRate, FailedReceiverReadsLeaveAClearedByte) {
    AudioBed a;
    // The input's I2C master never becomes idle: both reads fail.
    a.bed.card().set_i2c_stuck_busy(1, true);
    a.bed.clear_trace();
    auto filter = a.OpenAudio(1);
    ASSERT_TRUE(filter);
    EXPECT_EQ(a.bed.trace_count("audio1 connect:0  \n"), 1u) << a.bed.trace_text();
    EXPECT_EQ(a.bed.trace_count(RateLine(1, 0, 48000)), 1u) << a.bed.trace_text();
    EXPECT_EQ(SharedRead(a.Channel(1).AudioSampleRate), 48000u);
}

TEST(AudioFormat, PcmAcceptedShortAndExtensibleRefused) {
    AudioBed a;
    auto filter = a.OpenAudio(0);
    ASSERT_TRUE(filter);
    std::unique_ptr<qh::client::Pin> pin;

    a.bed.clear_trace();
    EXPECT_EQ(filter->create_pin(0, qh::client::make_pcm_format(WAVE_FORMAT_PCM, 81), pin), STATUS_NO_MATCH);
    EXPECT_GE(a.bed.trace_count("Audio pin STATUS_NO_MATCH 0\n"), 1u);
    EXPECT_FALSE(pin);

    a.bed.clear_trace();
    EXPECT_EQ(filter->create_pin(0, qh::client::make_pcm_format(WAVE_FORMAT_EXTENSIBLE), pin), STATUS_NO_MATCH);
    EXPECT_GE(a.bed.trace_count("Audio pin STATUS_NO_MATCH 1 samp:48000\n"), 1u);
    EXPECT_FALSE(pin);

    a.bed.clear_trace();
    EXPECT_EQ(filter->create_pin(0, qh::client::make_pcm_format(), pin), STATUS_SUCCESS);
    EXPECT_EQ(a.bed.trace_count("Audio pin set format:48000\n"), 1u);
    EXPECT_EQ(a.bed.trace_count("DispatchSetFormat()\n"), 1u);
    ASSERT_TRUE(pin);
    EXPECT_EQ(pin->close(), STATUS_SUCCESS);

    // Inputs 1..3 name the format's own rate and channel count when they refuse it.
    auto third = a.OpenAudio(3);
    ASSERT_TRUE(third);
    auto wide = qh::client::make_pcm_format(WAVE_FORMAT_EXTENSIBLE);
    reinterpret_cast<KSDATAFORMAT_WAVEFORMATEX*>(wide.data())->WaveFormatEx.nChannels = 6;
    a.bed.clear_trace();
    EXPECT_EQ(third->create_pin(0, wide, pin), STATUS_NO_MATCH);
    EXPECT_GE(a.bed.trace_count("Audio pin d STATUS_NO_MATCH 3 samp:48000 channel:6\n"), 1u) << a.bed.trace_text();
    EXPECT_EQ(third->create_pin(0, qh::client::make_pcm_format(WAVE_FORMAT_PCM, 81), pin), STATUS_NO_MATCH);
    EXPECT_GE(a.bed.trace_count("Audio pin d STATUS_NO_MATCH 0\n"), 1u);
    EXPECT_EQ(third->create_pin(0, qh::client::make_pcm_format(), pin), STATUS_SUCCESS);
    EXPECT_EQ(a.bed.trace_count("Audio pin d set format:48000\n"), 1u);
}

uint32_t U32(const qh::client::PropertyResult& r) {
    uint32_t v = 0;
    if (r.data.size() >= 4) std::memcpy(&v, r.data.data(), 4);
    return v;
}

TEST(AudioProperties, AdcNodeAndPinAnswer) {
    AudioBed a;
    auto filter = a.OpenAudio(2);
    ASSERT_TRUE(filter);
    const uint32_t get = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
    struct Expected {
        uint32_t id;
        uint32_t value;
        const char* trace;
        bool channel;  // the request is a KSNODEPROPERTY_AUDIO_CHANNEL
    };
    const Expected items[] = {
        {KSPROPERTY_AUDIO_CPU_RESOURCES, 0, "KStrGetCpuResourcesHandler\n", false},
        {KSPROPERTY_AUDIO_VOLUMELEVEL, 0x7FFFFFFF, "KStrGetAudioVolumelevelHandler\n", true},
        {KSPROPERTY_AUDIO_AGC, 1, "KStrGetAudioAGCHandler\n", true},
        {KSPROPERTY_AUDIO_DYNAMIC_SAMPLING_RATE, 1, "KStrGetAudioDynaSamplingRateHandler\n", false},
    };
    for (const auto& item : items) {
        SCOPED_TRACE(item.trace);
        auto request = qh::client::make_node_property(kPropsetAudio, item.id, get, 0);
        if (item.channel) request.resize(sizeof(KSNODEPROPERTY_AUDIO_CHANNEL), 0xFF);  // channel -1: all
        a.bed.clear_trace();
        auto r = filter->property(request, 4);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes_returned, 4u);
        EXPECT_EQ(U32(r), item.value);
        EXPECT_EQ(a.bed.trace_count(item.trace), 1u);
    }

    // Latency: a KSTIME of 16 bytes; a shorter buffer is refused before the handler runs.
    auto latency = qh::client::make_node_property(kPropsetAudio, KSPROPERTY_AUDIO_LATENCY, get, 0);
    a.bed.clear_trace();
    auto r = filter->property(latency, 16);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.bytes_returned, 16u);
    KSTIME time{};
    std::memcpy(&time, r.data.data(), sizeof time);
    EXPECT_EQ(time.Time, 10);
    EXPECT_EQ(time.Numerator, 1u);
    EXPECT_EQ(time.Denominator, 1u);
    EXPECT_EQ(a.bed.trace_count("KStrGetAudioLatencyHandler\n"), 1u);
    a.bed.clear_trace();
    EXPECT_EQ(filter->property(latency, 8).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(a.bed.trace_count("KStrGetAudioLatencyHandler\n"), 0u);

    // The pin's sampling rate: a set is refused and changes nothing.
    auto pin = AudioBed::CreatePin(*filter);
    ASSERT_TRUE(pin);
    const uint32_t rate = 44100;
    std::vector<uint8_t> value(4);
    std::memcpy(value.data(), &rate, 4);
    a.bed.clear_trace();
    auto set = pin->property(
        qh::client::make_property(kPropsetAudio, KSPROPERTY_AUDIO_SAMPLING_RATE, KSPROPERTY_TYPE_SET), 4, value);
    EXPECT_EQ(static_cast<uint32_t>(set.status), 0xC0000005u);
    EXPECT_EQ(a.bed.trace_count("KStrSetAudioSamplingRateHandler\n"), 1u);
    // The get is a bare KSPROPERTY of 24 bytes, as a standard client sends it: the item's
    // minimum request is 24 on purpose (32 would refuse every such client).
    const auto rate_request =
        qh::client::make_property(kPropsetAudio, KSPROPERTY_AUDIO_SAMPLING_RATE, KSPROPERTY_TYPE_GET);
    ASSERT_EQ(rate_request.size(), 24u);
    auto got = pin->property(rate_request, 4);
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_EQ(got.bytes_returned, 4u);
    EXPECT_EQ(U32(got), 48000u);
    EXPECT_EQ(a.bed.trace_count("KStrGetAudioSamplingRateHandler\n"), 1u);
    EXPECT_EQ(SharedRead(a.Channel(2).AudioSampleRate), 48000u);
}

}  // namespace
}  // namespace audiotest
