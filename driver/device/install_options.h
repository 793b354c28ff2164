// What the installation leaves under the device's hardware key for the driver to read when the
// device is added (the INF's .HW section writes it, windows/quadhdmi.inf.in; the INF check reads
// the value's name from here).
#pragma once

#include "platform/platform.h"

// REG_DWORD: nonzero registers each video filter under KSCATEGORY_VIDEO_CAMERA as well, so that
// Media Foundation and frame-server applications list it.
#define QH_CAMERA_VALUE_NAME "RegisterAsCamera"

// Whether the device's hardware key asks for the camera category. Anything but a nonzero
// REG_DWORD (no key, no value, another type or size) leaves the default registration.
bool CameraCategoryRequested(PDEVICE_OBJECT PhysicalDeviceObject);
