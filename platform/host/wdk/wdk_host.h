// The WDK as the driver sees it in the host build.
#pragma once
#include "platform/host/wdk/ntddk_host.h"
#include "platform/host/wdk/ks_host.h"
