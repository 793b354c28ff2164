// Memory whose misuse faults at once and is reported as a verifier stop: objects retired after
// close (a driver that touches a closed pin or filter), and ranges protected for a while (the
// user-mode view of a stream buffer, which kernel code must never touch).
#pragma once

#include <csignal>
#include <cstddef>
#include <string>

namespace host::guarded {

// Zeroed, page-aligned memory of its own whole pages.
void* allocate(size_t size);

// Ends the life of memory from allocate(): its pages are given back but the addresses stay
// reserved and inaccessible for good, so any later access faults; the fault is a stop
// (PAGE_FAULT_IN_NONPAGED_AREA) naming `what`. Under AddressSanitizer the range is also
// poisoned, so the access is reported by the sanitizer before it reaches the page.
void retire(void* p, size_t size, const std::string& what);

// Makes whole pages [p, p + size) inaccessible until unprotect(); a touch meanwhile is a stop
// naming `what`. Inside a verifier capture the stop is recorded, the pages are made accessible
// again and the access completes.
void protect(void* p, size_t size, const std::string& what);
void unprotect(void* p, size_t size);
// Forgets every protected range inside [p, p + size) without touching the pages (before the
// memory is unmapped).
void forget(void* p, size_t size);

size_t page_size();

// Installs `handler` for SIGSEGV (with its siginfo, re-entrant: a fault inside it is handled
// again) and keeps the handler it replaces in `previous`, for chain_fault.
void install_fault_handler(void (*handler)(int, siginfo_t*, void*), struct sigaction& previous);

// Hands a fault this module's handler does not own to the handler installed before it
// (`previous`): its handler if it has one, otherwise the default action (the faulting
// instruction runs again and the process dies on it).
void chain_fault(const struct sigaction& previous, int sig, siginfo_t* info, void* context);

}  // namespace host::guarded
