// Loads the shipped kernel image (a PE32+ driver built by the windows build) into the host
// process: sections mapped with their protections, base relocations applied, every import bound
// by module and name to the host's implementation of that service, DriverEntry returned. The
// image then meets the platform through the same Windows x64 boundary as the host-compiled
// driver. What the image's inlined WDK code does that user mode cannot (reading CR8 for the IRQL,
// plain loads and stores into a register window) is trapped and emulated against the host.
#pragma once

#include "platform/host/pnp/pnp.h"

#include <cstdint>
#include <memory>
#include <string>

namespace host::image {

class Image {
public:
    ~Image();  // unmaps the image; the driver it carried must have been unloaded
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    pnp::DriverEntryRoutine entry() const { return entry_; }
    uintptr_t base() const { return base_; }
    size_t size() const { return size_; }
    const std::string& path() const { return path_; }
    // Where the stack cookie the load configuration names lies in the mapped image (seeded at
    // the load, as Windows' loader seeds it), or 0 when the image has none.
    uintptr_t security_cookie() const { return cookie_; }

private:
    friend std::shared_ptr<Image> load(const std::string& path, std::string& error);
    Image() = default;
    uintptr_t base_ = 0;
    size_t size_ = 0;
    uintptr_t cookie_ = 0;
    pnp::DriverEntryRoutine entry_ = nullptr;
    std::string path_;
};

// Maps the image at `path`. On failure returns null and says why in `error` (a malformed file,
// TLS, an unsupported relocation, or an import the host does not implement, named).
std::shared_ptr<Image> load(const std::string& path, std::string& error);

// Number of images loaded so far.
uint64_t load_count();

// Number of instructions of loaded images emulated so far (CR8 reads, register accesses).
uint64_t emulated_count();

}  // namespace host::image
