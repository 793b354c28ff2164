// Object bags and _KsEdit: an item may sit in several bags and is freed when it leaves the last.
#include "platform/host/ks/ks_internal.h"
#include "platform/host/sched/sched.h"

#include "platform/host/kernel/kernel.h"

#include <cstring>
#include <set>
#include <unordered_map>

namespace host::ks {

// ---------------------------------------------------------------------------------------------
// Object bags. An item may sit in several bags; it is freed when it leaves the last one.

namespace {
host::sched::Mutex g_bag_lock;  // guards the membership counts and the failure knob
std::unordered_map<const void*, int> g_membership;
std::set<const Bag*> g_bags;
uint32_t g_fail_skip = 0;
uint32_t g_fail_count = 0;
}  // namespace

Bag* new_bag() {
    Bag* bag = new Bag;
    std::lock_guard<host::sched::Mutex> guard(g_bag_lock);
    g_bags.insert(bag);
    return bag;
}

static void free_item(void* item, PFNKSFREE free_routine) {
    if (free_routine)
        free_routine(item);
    else
        ExFreePool(item);
}

void delete_bag(Bag* bag) {
    if (!bag) return;
    std::vector<std::pair<void*, PFNKSFREE>> items;
    {
        std::lock_guard<host::sched::Mutex> guard(bag->lock);
        items.swap(bag->items);
    }
    {
        std::lock_guard<host::sched::Mutex> guard(g_bag_lock);
        g_bags.erase(bag);
    }
    for (auto& [item, free_routine] : items) {
        bool last;
        {
            std::lock_guard<host::sched::Mutex> guard(g_bag_lock);
            last = --g_membership[item] <= 0;
            if (last) g_membership.erase(item);
        }
        if (last) free_item(item, free_routine);
    }
    delete bag;
}

static Bag* checked_bag(KSOBJECT_BAG bag) {
    std::lock_guard<host::sched::Mutex> guard(g_bag_lock);
    if (bag && g_bags.count(static_cast<const Bag*>(bag))) return static_cast<Bag*>(bag);
    return nullptr;
}

static bool bag_addition_fails() {
    std::lock_guard<host::sched::Mutex> guard(g_bag_lock);
    if (g_fail_skip > 0) {
        --g_fail_skip;
        return false;
    }
    if (g_fail_count > 0) {
        --g_fail_count;
        return true;
    }
    return false;
}

static NTSTATUS bag_add(Bag* bag, void* item, PFNKSFREE free_routine) {
    if (bag_addition_fails()) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<host::sched::Mutex> guard(bag->lock);
    for (auto& entry : bag->items)
        if (entry.first == item) return STATUS_SUCCESS;  // already held by this bag
    bag->items.emplace_back(item, free_routine);
    std::lock_guard<host::sched::Mutex> guard2(g_bag_lock);
    ++g_membership[item];
    return STATUS_SUCCESS;
}

void fail_bag_additions(uint32_t skip, uint32_t count) {
    std::lock_guard<host::sched::Mutex> guard(g_bag_lock);
    g_fail_skip = skip;
    g_fail_count = count;
}

size_t bag_item_count(KSOBJECT_BAG bag) {
    Bag* b = checked_bag(bag);
    if (!b) return 0;
    std::lock_guard<host::sched::Mutex> guard(b->lock);
    return b->items.size();
}

bool bag_contains(KSOBJECT_BAG bag, const void* item) {
    Bag* b = checked_bag(bag);
    if (!b) return false;
    std::lock_guard<host::sched::Mutex> guard(b->lock);
    for (auto& entry : b->items)
        if (entry.first == item) return true;
    return false;
}

}  // namespace host::ks

// ---------------------------------------------------------------------------------------------
// The class services the driver calls

using namespace host::ks;

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free) {
    host::sched::point("KsAddItemToObjectBag");
    require_passive("KsAddItemToObjectBag");
    Bag* bag = checked_bag(ObjectBag);
    if (!bag) {
        record("KsInvalidObject", "KsAddItemToObjectBag: not a live bag");
        return STATUS_INVALID_PARAMETER;
    }
    return bag_add(bag, Item, Free);
}

NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize, ULONG OldSize, ULONG Tag) {
    host::sched::point("_KsEdit");
    require_passive("_KsEdit");
    Bag* bag = checked_bag(ObjectBag);
    if (!bag || !PointerToPointerToItem) {
        record("KsInvalidObject", "_KsEdit: not a live bag");
        return STATUS_INVALID_PARAMETER;
    }
    if (bag->control && bag->control->control_owner.load() != std::this_thread::get_id())
        record("KsEdit", "_KsEdit on a pin or filter bag without holding the filter control mutex");
    void* old_item = *PointerToPointerToItem;
    bool member = old_item && bag_contains(ObjectBag, old_item);
    if (member && NewSize <= OldSize) return STATUS_SUCCESS;

    void* copy = ExAllocatePoolWithTag(NonPagedPoolNx, NewSize ? NewSize : 1, Tag);
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG keep = old_item ? (OldSize < NewSize ? OldSize : NewSize) : 0;
    if (keep) std::memcpy(copy, old_item, keep);
    if (NewSize > keep) std::memset(static_cast<char*>(copy) + keep, 0, NewSize - keep);
    NTSTATUS status = bag_add(bag, copy, nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePool(copy);
        return status;
    }
    if (member) {
        // The grown copy replaces the old one in this bag.
        PFNKSFREE free_routine = nullptr;
        bool found = false;
        {
            std::lock_guard<host::sched::Mutex> guard(bag->lock);
            for (auto it = bag->items.begin(); it != bag->items.end(); ++it) {
                if (it->first == old_item) {
                    free_routine = it->second;
                    bag->items.erase(it);
                    found = true;
                    break;
                }
            }
        }
        if (found) {
            bool last;
            {
                std::lock_guard<host::sched::Mutex> guard(g_bag_lock);
                last = --g_membership[old_item] <= 0;
                if (last) g_membership.erase(old_item);
            }
            if (last) free_item(old_item, free_routine);
        }
    }
    *PointerToPointerToItem = copy;
    return STATUS_SUCCESS;
}
