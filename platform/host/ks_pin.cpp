// Pins: creation with format matching, format changes, state stepping and close.
#include "platform/host/ks_internal.h"

namespace host::ks {

NTSTATUS create_pin(PKSFILTER, uint32_t, const void*, uint32_t, PKSPIN*) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS close_pin(PKSPIN ks) {
    PinObj* pin = as_pin(ks);
    if (!pin) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

}  // namespace host::ks
