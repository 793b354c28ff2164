#include "tools/quadhdmi/describe.h"

#include "driver/public.h"

#include <cstdio>
#include <cstring>

namespace qh::tool {

namespace {

struct NamedGuid {
    const GUID* guid;
    const char* name;
};

const NamedGuid kNames[] = {
    {&kCategoryCapture, "KSCATEGORY_CAPTURE"},
    {&kCategoryVideo, "KSCATEGORY_VIDEO"},
    {&kCategoryAudio, "KSCATEGORY_AUDIO"},
    {&kCategoryVideoCamera, "KSCATEGORY_VIDEO_CAMERA"},
    {&kPinCategoryCapture, "PIN_CATEGORY_CAPTURE"},
    {&kNodeTypeAdc, "KSNODETYPE_ADC"},
    {&kNodeTypeMicrophoneArray, "KSNODETYPE_MICROPHONE_ARRAY"},
    {&kTypeVideo, "KSDATAFORMAT_TYPE_VIDEO"},
    {&kTypeAudio, "KSDATAFORMAT_TYPE_AUDIO"},
    {&kSubtypeYUY2, "KSDATAFORMAT_SUBTYPE_YUY2"},
    {&kSubtypePcm, "KSDATAFORMAT_SUBTYPE_PCM"},
    {&kSubtypeAnalog, "KSDATAFORMAT_SUBTYPE_ANALOG"},
    {&kSpecifierVideoInfo, "KSDATAFORMAT_SPECIFIER_VIDEOINFO"},
    {&kSpecifierWaveFormatEx, "KSDATAFORMAT_SPECIFIER_WAVEFORMATEX"},
    {&kSpecifierNone, "KSDATAFORMAT_SPECIFIER_NONE"},
    {&kPropsetRegisterAccess, "KSPROPSETID_RegisterAccess"},
    {&kPropsetDroppedFrames, "PROPSETID_VIDCAP_DROPPEDFRAMES"},
    {&kPropsetAudio, "KSPROPSETID_Audio"},
};

struct Identity {
    const GUID* reference;
    uint32_t input;
    bool video;
};

const Identity kIdentities[] = {
    {&kRefVideo0, 0, true},  {&kRefVideo1, 1, true},  {&kRefVideo2, 2, true},  {&kRefVideo3, 3, true},
    {&kRefAudio0, 0, false}, {&kRefAudio1, 1, false}, {&kRefAudio2, 2, false}, {&kRefAudio3, 3, false},
};

bool same(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace

std::string guid_text(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::string guid_name(const GUID& guid) {
    for (const NamedGuid& n : kNames) {
        if (same(*n.guid, guid)) return n.name;
    }
    return "";
}

std::string guid_label(const GUID& guid) {
    std::string name = guid_name(guid);
    return name.empty() ? guid_text(guid) : name;
}

std::string status_text(NTSTATUS status) {
    struct Known {
        NTSTATUS status;
        const char* name;
    };
    static const Known kKnown[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_ACCESS_VIOLATION, "STATUS_ACCESS_VIOLATION"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
        {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
        {STATUS_INVALID_BUFFER_SIZE, "STATUS_INVALID_BUFFER_SIZE"},
        {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
        {STATUS_PROPSET_NOT_FOUND, "STATUS_PROPSET_NOT_FOUND"},
        {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
    };
    char text[64];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
    for (const Known& k : kKnown) {
        if (k.status == status) return std::string(text) + " (" + k.name + ")";
    }
    return text;
}

bool filter_identity(const GUID& reference, uint32_t& input, bool& video) {
    for (const Identity& id : kIdentities) {
        if (same(*id.reference, reference)) {
            input = id.input;
            video = id.video;
            return true;
        }
    }
    return false;
}

bool video_range_size(const std::vector<uint8_t>& range, uint32_t& width, uint32_t& height, int64_t& duration) {
    if (range.size() < sizeof(KS_DATARANGE_VIDEO)) return false;
    KS_DATARANGE_VIDEO video;
    std::memcpy(&video, range.data(), sizeof video);
    if (!same(video.DataRange.MajorFormat, kTypeVideo)) return false;
    width = uint32_t(video.VideoInfoHeader.bmiHeader.biWidth);
    const LONG h = video.VideoInfoHeader.bmiHeader.biHeight;
    height = uint32_t(h < 0 ? -h : h);
    duration = video.VideoInfoHeader.AvgTimePerFrame;
    return true;
}

std::string describe_range(const std::vector<uint8_t>& range) {
    if (range.size() < sizeof(KSDATARANGE)) return "(short range of " + std::to_string(range.size()) + " bytes)";
    KSDATARANGE head;
    std::memcpy(&head, range.data(), sizeof head);
    char text[256];

    uint32_t width = 0, height = 0;
    int64_t duration = 0;
    if (video_range_size(range, width, height, duration)) {
        const double fps = duration > 0 ? 1e7 / double(duration) : 0.0;
        std::string subtype = guid_label(head.SubFormat);
        const std::string prefix = "KSDATAFORMAT_SUBTYPE_";
        if (subtype.compare(0, prefix.size(), prefix) == 0) subtype.erase(0, prefix.size());
        std::snprintf(text, sizeof text, "%s %ux%u @ %.2f fps (frame %u bytes)", subtype.c_str(), width, height, fps,
                      unsigned(head.SampleSize));
        return text;
    }
    if (same(head.MajorFormat, kTypeAudio) && range.size() >= sizeof(KSDATARANGE_AUDIO)) {
        KSDATARANGE_AUDIO audio;
        std::memcpy(&audio, range.data(), sizeof audio);
        std::snprintf(text, sizeof text, "PCM up to %u ch, %u-%u bit, %u-%u Hz", unsigned(audio.MaximumChannels),
                      unsigned(audio.MinimumBitsPerSample), unsigned(audio.MaximumBitsPerSample),
                      unsigned(audio.MinimumSampleFrequency), unsigned(audio.MaximumSampleFrequency));
        return text;
    }
    return guid_label(head.MajorFormat) + " / " + guid_label(head.SubFormat) + " / " + guid_label(head.Specifier);
}

}  // namespace qh::tool
