// The cards present, found the way a capture application finds kernel-streaming filters: by
// the device interfaces registered under the capture, video and audio categories. The driver
// registers each filter's interface with the filter's reference GUID as reference string, so the
// string tells which filter an interface is and the device instance which card it is on.
#include "client/windows/win32.h"

#include "driver/public.h"

#include <setupapi.h>

#include <algorithm>
#include <cwctype>
#include <map>

namespace qh::client::win32 {

namespace {

struct Category {
    const GUID* guid;
    const char* name;
};
// The camera category last: only the camera variant of the INF registers the video filters
// under it, and then they are under the other two as well; it adds to a filter's categories.
const Category kCategories[] = {
    {&kCategoryCapture, "KSCATEGORY_CAPTURE"},
    {&kCategoryVideo, "KSCATEGORY_VIDEO"},
    {&kCategoryAudio, "KSCATEGORY_AUDIO"},
    {&kCategoryVideoCamera, "KSCATEGORY_VIDEO_CAMERA"},
};

// The filters in the device's order (public.h): audio 0, video 0, audio 1, ...
const GUID* const kReferences[kFilterCount] = {&kRefAudio0, &kRefVideo0, &kRefAudio1, &kRefVideo1,
                                               &kRefAudio2, &kRefVideo2, &kRefAudio3, &kRefVideo3};

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

int hex_digit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in either case; false for anything else.
bool parse_guid(const std::wstring& text, GUID& guid) {
    static const int kGroups[] = {8, 4, 4, 4, 12};
    if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
    uint8_t bytes[16];
    size_t at = 1, byte = 0;
    for (int g = 0; g < 5; ++g) {
        if (g > 0 && text[at++] != L'-') return false;
        for (int i = 0; i < kGroups[g]; i += 2, at += 2) {
            const int hi = hex_digit(text[at]), lo = hex_digit(text[at + 1]);
            if (hi < 0 || lo < 0) return false;
            bytes[byte++] = uint8_t(hi << 4 | lo);
        }
    }
    guid.Data1 = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    guid.Data2 = uint16_t(bytes[4] << 8 | bytes[5]);
    guid.Data3 = uint16_t(bytes[6] << 8 | bytes[7]);
    std::copy(bytes + 8, bytes + 16, guid.Data4);
    return true;
}

// An interface path is \\?\<instance, '\' as '#'>#{<interface class>}\<reference string>.
bool reference_of(const std::wstring& path, GUID& reference) {
    const size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos || slash == 0 || path[slash - 1] != L'}') return false;
    return parse_guid(path.substr(slash + 1), reference);
}

int filter_index(const GUID& reference) {
    for (uint32_t i = 0; i < kFilterCount; ++i)
        if (IsEqualGUID(reference, *kReferences[i])) return int(i);
    return -1;
}

struct FoundFilter {
    std::wstring path;
    std::vector<GUID> categories;
};
struct FoundCard {
    std::string instance;
    std::map<uint32_t, FoundFilter> filters;  // by index in the device's order
};

// Walks one category's present interfaces; false (with `error`) if SetupAPI itself failed.
bool walk(const Category& category, std::vector<FoundCard>& cards, std::string& error) {
    HDEVINFO set = SetupDiGetClassDevsW(category.guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        error = std::string("SetupDiGetClassDevs(") + category.name + ") failed: Win32 error " +
                std::to_string(GetLastError());
        return false;
    }
    bool ok = true;
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, category.guid, i, &data)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS) {
                error = std::string("SetupDiEnumDeviceInterfaces(") + category.name + ") failed: Win32 error " +
                        std::to_string(GetLastError());
                ok = false;
            }
            break;
        }
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
        if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        // The detail's size field counts the fixed part only; the path runs on past it.
        std::vector<uint64_t> storage((needed + 7) / 8);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, &device)) continue;
        const std::wstring path(detail->DevicePath);
        uint32_t index = 0;
        if (!interface_filter(path, index)) continue;
        wchar_t instance[512] = {};
        if (!SetupDiGetDeviceInstanceIdW(set, &device, instance, DWORD(std::size(instance)), nullptr)) continue;
        const std::string id = utf8(instance);
        auto card = std::find_if(cards.begin(), cards.end(), [&](const FoundCard& c) { return c.instance == id; });
        if (card == cards.end()) {
            cards.push_back(FoundCard{id, {}});
            card = cards.end() - 1;
        }
        FoundFilter& filter = card->filters[index];
        if (filter.path.empty()) filter.path = path;
        filter.categories.push_back(*category.guid);
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

class Win32Device final : public Device {
public:
    Win32Device(std::shared_ptr<Win32Transport> transport, FoundCard card)
        : transport_(std::move(transport)), card_(std::move(card)) {}

    std::vector<FilterInfo> filters() const override {
        std::vector<FilterInfo> out;
        for (const auto& [index, found] : card_.filters)
            out.push_back(FilterInfo{index, *kReferences[index], found.categories});
        return out;
    }

    NTSTATUS open_filter(uint32_t index, std::unique_ptr<Filter>& filter) override {
        auto it = card_.filters.find(index);
        if (it == card_.filters.end()) return STATUS_NOT_FOUND;
        Handle handle = nullptr;
        const NTSTATUS status = transport_->open(it->second.path, &handle);
        if (!NT_SUCCESS(status)) return status;
        filter = make_filter(transport_, handle, FilterInfo{index, *kReferences[index], it->second.categories});
        if (!filter) {
            transport_->close(handle);
            return STATUS_NOT_IMPLEMENTED;
        }
        return STATUS_SUCCESS;
    }

    // Whether the card's interfaces are still there: an application that registered for
    // interface notifications would be told; polling the present interfaces sees the same.
    bool removed() const override {
        std::vector<FoundCard> now;
        std::string error;
        for (const Category& category : kCategories)
            if (!walk(category, now, error)) return false;
        for (const FoundCard& card : now)
            if (card.instance == card_.instance) return false;
        return true;
    }

    bool wait_removed(uint32_t timeout_ms) const override {
        const ULONGLONG until = GetTickCount64() + timeout_ms;
        for (;;) {
            if (removed()) return true;
            if (GetTickCount64() >= until) return false;
            Sleep(50);
        }
    }

private:
    std::shared_ptr<Win32Transport> transport_;
    FoundCard card_;
};

}  // namespace

bool interface_filter(const std::wstring& path, uint32_t& index) {
    GUID reference;
    if (!reference_of(path, reference)) return false;
    const int found = filter_index(reference);
    if (found < 0) return false;
    index = uint32_t(found);
    return true;
}

std::vector<Card> find_cards(std::string& searched, std::string& error) {
    searched = "the device interfaces present under";
    for (const Category& category : kCategories)
        searched += std::string(&category == kCategories ? " " : ", ") + category.name;
    searched += " whose reference string is one of the eight filters' reference GUIDs";
    std::vector<FoundCard> found;
    for (const Category& category : kCategories)
        if (!walk(category, found, error)) return {};
    std::vector<Card> cards;
    if (found.empty()) return cards;
    auto transport = std::make_shared<Win32Transport>();
    for (FoundCard& card : found) {
        std::string instance = card.instance;
        cards.push_back(Card{std::move(instance), std::make_unique<Win32Device>(transport, std::move(card))});
    }
    return cards;
}

}  // namespace qh::client::win32
