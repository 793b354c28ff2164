// Built into the Windows program only while client/client.cpp is still bound to the host's class
// layer (windows/CMakeLists.txt decides): the request helpers the commands use, as the client
// has them, and a make_filter that opens nothing. Once the client's Filter and Pin are written
// over a Transport, client/client.cpp is built instead and this file drops out of the build.
#include "client/client.h"

#include "driver/public.h"

#include <cstring>

namespace qh::client {

std::unique_ptr<Filter> make_filter(std::shared_ptr<Transport>, Handle, FilterInfo) { return nullptr; }

std::vector<uint8_t> make_property(const GUID& set, uint32_t id, uint32_t flags) {
    std::vector<uint8_t> out(sizeof(KSPROPERTY), 0);
    auto* p = reinterpret_cast<PKSPROPERTY>(out.data());
    p->Set = set;
    p->Id = id;
    p->Flags = flags;
    return out;
}

}  // namespace qh::client
