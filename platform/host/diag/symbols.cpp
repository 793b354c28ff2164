// Routine names from the program's dynamic symbol table (dladdr) and the loaded images' ranges.
#include "platform/host/diag/symbols.h"
#include "platform/host/sched/sched.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace host::symbols {
namespace {

struct Image {
    uintptr_t base;
    size_t size;
    std::string name;
};

host::sched::Mutex& images_lock() {
    static auto* lock = new host::sched::Mutex;
    return *lock;
}
std::vector<Image>& images() {
    static auto* list = new std::vector<Image>;  // never destroyed: reports may come from detached threads
    return *list;
}

// "f(int, char*)" -> "f"; a name without parameters is kept as it is.
std::string without_parameters(const std::string& name) {
    int depth = 0;
    for (size_t i = name.size(); i-- > 0;) {
        if (name[i] == ')') ++depth;
        if (name[i] == '(' && --depth == 0) return name.substr(0, i);
    }
    return name;
}

}  // namespace

std::string name_of(const void* routine) {
    if (!routine) return "";
    Dl_info info{};
    // dladdr answers with the nearest symbol below the address; only one that starts exactly at
    // the routine names it (a routine without an exported symbol would otherwise borrow the
    // name of whatever precedes it).
    if (dladdr(routine, &info) == 0 || !info.dli_sname || info.dli_saddr != routine) return "";
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? without_parameters(demangled) : info.dli_sname;
    std::free(demangled);
    return name;
}

std::string where(const void* routine) {
    std::string name = name_of(routine);
    if (!name.empty()) return name;
    const auto address = reinterpret_cast<uintptr_t>(routine);
    char text[64];
    {
        std::lock_guard<host::sched::Mutex> guard(images_lock());
        for (const Image& i : images()) {
            if (address >= i.base && address - i.base < i.size) {
                std::snprintf(text, sizeof text, "+0x%zx", static_cast<size_t>(address - i.base));
                return "at " + i.name + text;
            }
        }
    }
    std::snprintf(text, sizeof text, "at 0x%zx", static_cast<size_t>(address));
    return text;
}

std::string describe(const void* routine, const char* what) {
    std::string name = name_of(routine);
    if (!name.empty()) return name;
    // Built in pieces: GCC 12 at -O2 takes "literal" + std::string for an overlapping copy.
    name = what;
    name += ' ';
    name += where(routine);
    return name;
}

void add_image(uintptr_t base, size_t size, const std::string& name) {
    std::lock_guard<host::sched::Mutex> guard(images_lock());
    images().push_back(Image{base, size, name});
}

void remove_image(uintptr_t base) {
    std::lock_guard<host::sched::Mutex> guard(images_lock());
    auto& list = images();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->base == base) {
            list.erase(it);
            return;
        }
    }
}

}  // namespace host::symbols
