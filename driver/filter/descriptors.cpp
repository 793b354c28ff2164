// The static tables the class driver builds the eight filter factories from: per input a video
// filter (one capture pin) and an audio filter (capture pin, analog bridge pin, one ADC node).
// Everything here is constant data; only the data ranges the pins point to are rewritten, by
// detection, when a filter is opened.
#include "driver/audio/audio.h"
#include "driver/public.h"
#include "driver/filter/filter.h"
#include "driver/video/video.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Allocator framing: one frame per buffer, kernel non-paged memory.

constexpr ULONG kVideoFramingBytes = 0x400000;  // one 4 MiB frame until a format resizes it
constexpr ULONG kAudioFramingBytes = 0x780;     // one 1,920-byte (10 ms) block

const KSALLOCATOR_FRAMING_EX VideoFraming = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression
    0,          // PinWeight
    {{
        kMemoryTypeKernelNonPaged,
        kGuidNull,  // BusType: don't care
        0,          // MemoryFlags
        0,          // BusFlags
        KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY | KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY,
        1,                                                    // Frames
        {0},                                                  // FileAlignment: byte
        0,                                                    // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},                                   // PhysicalRange
        {{kVideoFramingBytes, kVideoFramingBytes, 1}, 0, 0},  // FramingRange
    }},
};

const KSALLOCATOR_FRAMING_EX AudioFraming = {
    1,
    0,
    {1, 1, 0},
    0,
    {{
        kMemoryTypeKernelNonPaged,
        kGuidNull,
        0,
        0,
        0,    // Flags
        1,    // Frames
        {3},  // FileAlignment: 4 bytes
        0,
        {0, 0xFFFFFFFF, 1},
        {{kAudioFramingBytes, kAudioFramingBytes, 1}, 0, 0},
    }},
};

// ---------------------------------------------------------------------------------------------
// Automation tables. Every table has one property set and no methods or events.

DEFINE_KSPROPERTY_TABLE(RegisterAccessProperties){
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_REGISTER_VALUE, KStrGetRegisterValueHandler, sizeof(KSPROPERTY_REGISTER_VALUE_S),
                           sizeof(KSPROPERTY_REGISTER_VALUE_S), KStrSetRegisterValueHandler, nullptr, 0, nullptr,
                           nullptr, 0),
};
DEFINE_KSPROPERTY_SET_TABLE(RegisterAccessSets){
    DEFINE_KSPROPERTY_SET(&kPropsetRegisterAccess, SIZEOF_ARRAY(RegisterAccessProperties), RegisterAccessProperties, 0,
                          nullptr),
};
DEFINE_KSAUTOMATION_TABLE(channel0VideoFilterAutomation){
    DEFINE_KSAUTOMATION_PROPERTIES(RegisterAccessSets),
    DEFINE_KSAUTOMATION_METHODS_NULL,
    DEFINE_KSAUTOMATION_EVENTS_NULL,
};

// Dropped frames: one table per input, each bound to its input's counters.
#define QH_DROPPED_FRAMES_AUTOMATION(n)                                                                                \
    DEFINE_KSPROPERTY_TABLE(channel##n##DroppedFramesProperties){                                                      \
        DEFINE_KSPROPERTY_ITEM(KSPROPERTY_DROPPEDFRAMES_CURRENT, channel##n##GetDroppedFramesHandler,                  \
                               sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), \
                               nullptr, nullptr, 0, nullptr, nullptr, 0),                                              \
    };                                                                                                                 \
    DEFINE_KSPROPERTY_SET_TABLE(channel##n##DroppedFramesSets){                                                        \
        DEFINE_KSPROPERTY_SET(&kPropsetDroppedFrames, SIZEOF_ARRAY(channel##n##DroppedFramesProperties),               \
                              channel##n##DroppedFramesProperties, 0, nullptr),                                        \
    };                                                                                                                 \
    DEFINE_KSAUTOMATION_TABLE(channel##n##VideoFilterAutomation) {                                                     \
        DEFINE_KSAUTOMATION_PROPERTIES(channel##n##DroppedFramesSets), DEFINE_KSAUTOMATION_METHODS_NULL,               \
            DEFINE_KSAUTOMATION_EVENTS_NULL,                                                                           \
    }

QH_DROPPED_FRAMES_AUTOMATION(1);
QH_DROPPED_FRAMES_AUTOMATION(2);
QH_DROPPED_FRAMES_AUTOMATION(3);
#undef QH_DROPPED_FRAMES_AUTOMATION

// The ADC node of every audio filter: five constant audio properties.
DEFINE_KSPROPERTY_TABLE(AdcNodeProperties){
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_AUDIO_CPU_RESOURCES, KStrGetCpuResourcesHandler, sizeof(KSNODEPROPERTY),
                           sizeof(ULONG), nullptr, nullptr, 0, nullptr, nullptr, sizeof(ULONG)),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_AUDIO_VOLUMELEVEL, KStrGetAudioVolumelevelHandler,
                           sizeof(KSNODEPROPERTY_AUDIO_CHANNEL), sizeof(ULONG), nullptr, nullptr, 0, nullptr, nullptr,
                           sizeof(ULONG)),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_AUDIO_AGC, KStrGetAudioAGCHandler, sizeof(KSNODEPROPERTY_AUDIO_CHANNEL),
                           sizeof(ULONG), nullptr, nullptr, 0, nullptr, nullptr, sizeof(ULONG)),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_AUDIO_DYNAMIC_SAMPLING_RATE, KStrGetAudioDynaSamplingRateHandler,
                           sizeof(KSNODEPROPERTY), sizeof(ULONG), nullptr, nullptr, 0, nullptr, nullptr, sizeof(ULONG)),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_AUDIO_LATENCY, KStrGetAudioLatencyHandler, sizeof(KSNODEPROPERTY), sizeof(KSTIME),
                           nullptr, nullptr, 0, nullptr, nullptr, sizeof(ULONG)),
};
DEFINE_KSPROPERTY_SET_TABLE(AdcNodeSets){
    DEFINE_KSPROPERTY_SET(&kPropsetAudio, SIZEOF_ARRAY(AdcNodeProperties), AdcNodeProperties, 0, nullptr),
};
DEFINE_KSAUTOMATION_TABLE(AdcNodeAutomation){
    DEFINE_KSAUTOMATION_PROPERTIES(AdcNodeSets),
    DEFINE_KSAUTOMATION_METHODS_NULL,
    DEFINE_KSAUTOMATION_EVENTS_NULL,
};

// The audio capture pin: its sampling rate (the four pins share the table).
DEFINE_KSPROPERTY_TABLE(AudioPinProperties){
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_AUDIO_SAMPLING_RATE, KStrGetAudioSamplingRateHandler, sizeof(KSPROPERTY),
                           sizeof(ULONG), KStrSetAudioSamplingRateHandler, nullptr, 0, nullptr, nullptr, sizeof(ULONG)),
};
DEFINE_KSPROPERTY_SET_TABLE(AudioPinSets){
    DEFINE_KSPROPERTY_SET(&kPropsetAudio, SIZEOF_ARRAY(AudioPinProperties), AudioPinProperties, 0, nullptr),
};
DEFINE_KSAUTOMATION_TABLE(AudioPinAutomation){
    DEFINE_KSAUTOMATION_PROPERTIES(AudioPinSets),
    DEFINE_KSAUTOMATION_METHODS_NULL,
    DEFINE_KSAUTOMATION_EVENTS_NULL,
};

// ---------------------------------------------------------------------------------------------
// Topology of the audio filters: bridge pin 1 -> ADC node -> capture pin 0. One node table and
// one connection table serve all four.

const KSNODE_DESCRIPTOR AudioNodes[] = {
    {&AdcNodeAutomation, &kNodeTypeAdc, nullptr},
};

const KSTOPOLOGY_CONNECTION AudioConnections[] = {
    {KSFILTER_NODE, 1, 0, 1},
    {0, 0, KSFILTER_NODE, 0},
};

const GUID VideoCategories[] = {kCategoryCapture, kCategoryVideo};
const GUID CameraVideoCategories[] = {kCategoryCapture, kCategoryVideo, kCategoryVideoCamera};
const GUID AudioCategories[] = {kCategoryCapture, kCategoryAudio};

const KSFILTER_DISPATCH FilterDispatch = {
    FilterCreate,  // Create
    nullptr,       // Close
    nullptr,       // Process
    nullptr,       // Reset
};

constexpr ULONG kCapturePinFlags =
    KSPIN_FLAG_ASYNCHRONOUS_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_USE_STANDARD_TRANSPORT;
constexpr ULONG kBridgePinFlags =
    KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_USE_STANDARD_TRANSPORT;
static_assert(kCapturePinFlags == 0x00050008 && kBridgePinFlags == 0x00050001);

// ---------------------------------------------------------------------------------------------
// Pins.

#define QH_VIDEO_PIN(n, reference)                         \
    const KSPIN_DESCRIPTOR_EX channel##n##VideoPins[] = {{ \
        &channel##n##VideoPinDispatch,                     \
        nullptr,                                           \
        {                                                  \
            0,                                             \
            nullptr,                                       \
            0,                                             \
            nullptr,                                       \
            SIZEOF_ARRAY(channel##n##VideoRanges),         \
            channel##n##VideoRanges,                       \
            KSPIN_DATAFLOW_OUT,                            \
            KSPIN_COMMUNICATION_BOTH,                      \
            &kPinCategoryCapture,                          \
            &reference,                                    \
        },                                                 \
        kCapturePinFlags,                                  \
        1, /* InstancesPossible */                         \
        0, /* InstancesNecessary */                        \
        &VideoFraming,                                     \
        VideoIntersectHandler,                             \
    }}

QH_VIDEO_PIN(0, kRefVideo0);
QH_VIDEO_PIN(1, kRefVideo1);
QH_VIDEO_PIN(2, kRefVideo2);
QH_VIDEO_PIN(3, kRefVideo3);
#undef QH_VIDEO_PIN

#define QH_AUDIO_PINS(n, reference)                       \
    const KSPIN_DESCRIPTOR_EX channel##n##AudioPins[] = { \
        {                                                 \
            &channel##n##AudioPinDispatch,                \
            &AudioPinAutomation,                          \
            {                                             \
                0,                                        \
                nullptr,                                  \
                0,                                        \
                nullptr,                                  \
                SIZEOF_ARRAY(channel##n##AudioRangeList), \
                channel##n##AudioRangeList,               \
                KSPIN_DATAFLOW_OUT,                       \
                KSPIN_COMMUNICATION_SINK,                 \
                &kPinCategoryCapture,                     \
                nullptr,                                  \
            },                                            \
            kCapturePinFlags,                             \
            1,                                            \
            0,                                            \
            &AudioFraming,                                \
            channel##n##AudioIntersectHandler,            \
        },                                                \
        {                                                 \
            nullptr,                                      \
            nullptr,                                      \
            {                                             \
                0,                                        \
                nullptr,                                  \
                0,                                        \
                nullptr,                                  \
                SIZEOF_ARRAY(AudioBridgeRangeList),       \
                AudioBridgeRangeList,                     \
                KSPIN_DATAFLOW_IN,                        \
                KSPIN_COMMUNICATION_NONE,                 \
                &kNodeTypeMicrophoneArray,                \
                &reference,                               \
            },                                            \
            kBridgePinFlags,                              \
            0,                                            \
            0,                                            \
            nullptr,                                      \
            nullptr,                                      \
        },                                                \
    }

QH_AUDIO_PINS(0, kRefAudio0);
QH_AUDIO_PINS(1, kRefAudio1);
QH_AUDIO_PINS(2, kRefAudio2);
QH_AUDIO_PINS(3, kRefAudio3);
#undef QH_AUDIO_PINS

}  // namespace

// ---------------------------------------------------------------------------------------------
// Filters.

#define QH_VIDEO_FILTER(name, n, automation, reference, categories) \
    const KSFILTER_DESCRIPTOR name = {                              \
        &FilterDispatch,                                            \
        &automation,                                                \
        KSFILTER_DESCRIPTOR_VERSION,                                \
        0,                                                          \
        &reference,                                                 \
        SIZEOF_ARRAY(channel##n##VideoPins),                        \
        sizeof(KSPIN_DESCRIPTOR_EX),                                \
        channel##n##VideoPins,                                      \
        SIZEOF_ARRAY(categories),                                   \
        categories,                                                 \
        0,                                                          \
        sizeof(KSNODE_DESCRIPTOR),                                  \
        nullptr,                                                    \
        0,                                                          \
        nullptr,                                                    \
        nullptr,                                                    \
    }

QH_VIDEO_FILTER(channel0VideoFilterDescriptor, 0, channel0VideoFilterAutomation, kRefVideo0, VideoCategories);
QH_VIDEO_FILTER(channel1VideoFilterDescriptor, 1, channel1VideoFilterAutomation, kRefVideo1, VideoCategories);
QH_VIDEO_FILTER(channel2VideoFilterDescriptor, 2, channel2VideoFilterAutomation, kRefVideo2, VideoCategories);
QH_VIDEO_FILTER(channel3VideoFilterDescriptor, 3, channel3VideoFilterAutomation, kRefVideo3, VideoCategories);
// The camera option's: the same pins, automation and reference GUID, one category more.
QH_VIDEO_FILTER(channel0CameraVideoFilterDescriptor, 0, channel0VideoFilterAutomation, kRefVideo0,
                CameraVideoCategories);
QH_VIDEO_FILTER(channel1CameraVideoFilterDescriptor, 1, channel1VideoFilterAutomation, kRefVideo1,
                CameraVideoCategories);
QH_VIDEO_FILTER(channel2CameraVideoFilterDescriptor, 2, channel2VideoFilterAutomation, kRefVideo2,
                CameraVideoCategories);
QH_VIDEO_FILTER(channel3CameraVideoFilterDescriptor, 3, channel3VideoFilterAutomation, kRefVideo3,
                CameraVideoCategories);
#undef QH_VIDEO_FILTER

#define QH_AUDIO_FILTER(n, reference)                               \
    const KSFILTER_DESCRIPTOR channel##n##AudioFilterDescriptor = { \
        &FilterDispatch,                                            \
        nullptr,                                                    \
        KSFILTER_DESCRIPTOR_VERSION,                                \
        0,                                                          \
        &reference,                                                 \
        SIZEOF_ARRAY(channel##n##AudioPins),                        \
        sizeof(KSPIN_DESCRIPTOR_EX),                                \
        channel##n##AudioPins,                                      \
        SIZEOF_ARRAY(AudioCategories),                              \
        AudioCategories,                                            \
        SIZEOF_ARRAY(AudioNodes),                                   \
        sizeof(KSNODE_DESCRIPTOR),                                  \
        AudioNodes,                                                 \
        SIZEOF_ARRAY(AudioConnections),                             \
        AudioConnections,                                           \
        nullptr,                                                    \
    }

QH_AUDIO_FILTER(0, kRefAudio0);
QH_AUDIO_FILTER(1, kRefAudio1);
QH_AUDIO_FILTER(2, kRefAudio2);
QH_AUDIO_FILTER(3, kRefAudio3);
#undef QH_AUDIO_FILTER

const KSFILTER_DESCRIPTOR* const FilterDescriptors[kFilterCount] = {
    &channel0AudioFilterDescriptor, &channel0VideoFilterDescriptor, &channel1AudioFilterDescriptor,
    &channel1VideoFilterDescriptor, &channel2AudioFilterDescriptor, &channel2VideoFilterDescriptor,
    &channel3AudioFilterDescriptor, &channel3VideoFilterDescriptor,
};

const KSFILTER_DESCRIPTOR* const CameraFilterDescriptors[kFilterCount] = {
    &channel0AudioFilterDescriptor,       &channel0CameraVideoFilterDescriptor, &channel1AudioFilterDescriptor,
    &channel1CameraVideoFilterDescriptor, &channel2AudioFilterDescriptor,       &channel2CameraVideoFilterDescriptor,
    &channel3AudioFilterDescriptor,       &channel3CameraVideoFilterDescriptor,
};
