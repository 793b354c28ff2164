// Output files of `quadhdmi capture`: the ones any build writes (device/media_files.h) and the
// host's PNG snapshot, written with libpng.
#pragma once

#include "tools/quadhdmi/device/media_files.h"

#include <cstdint>
#include <string>

namespace qh::tool {

// Never removes what `path` names, whatever fails: a regular file (or a new one) is replaced only
// by a whole picture, written beside it and renamed over it; a device, a pipe, or a file in a
// folder that takes no new file is written in place.
bool write_png(const std::string& path, const uint8_t* rgb, uint32_t width, uint32_t height, std::string& error);

}  // namespace qh::tool
