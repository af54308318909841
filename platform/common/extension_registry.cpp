// The extension registry: named entries of (module, data), e.g. storage
// interfaces registered by plug-ins.
#include "orvel_common.h"

#include <map>
#include <mutex>
#include <new>
#include <string>

namespace {

struct Entry {
    orvel_module_descriptor_t *module;
    void *data;
};

using EntryMap = std::map<std::string, Entry>;

// One lock for all registries: they are zero-initialised statics with no room
// for a lock of their own, and registration is rare.
std::mutex &registry_mutex()
{
    static auto *mutex = new std::mutex;
    return *mutex;
}

const Entry *find_entry(orvel_extension_registry_t *registry, const char *name)
{
    if (registry == nullptr || name == nullptr || registry->entries == nullptr) {
        return nullptr;
    }
    auto *entries = static_cast<EntryMap *>(registry->entries);
    auto found = entries->find(name);
    return found == entries->end() ? nullptr : &found->second;
}

} // namespace

extern "C" {

int orvel_extension_registry_add(orvel_extension_registry_t *registry, const char *name,
                                 orvel_module_descriptor_t *module, void *data)
{
    if (registry == nullptr || name == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(registry_mutex());
    try {
        if (registry->entries == nullptr) {
            registry->entries = new EntryMap;
        }
        auto *entries = static_cast<EntryMap *>(registry->entries);
        bool inserted = entries->emplace(name, Entry{module, data}).second;
        return inserted ? 0 : -1;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

void *orvel_extension_registry_remove(orvel_extension_registry_t *registry, const char *name)
{
    if (registry == nullptr || name == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(registry_mutex());
    if (registry->entries == nullptr) {
        return nullptr;
    }
    auto *entries = static_cast<EntryMap *>(registry->entries);
    auto found = entries->find(name);
    if (found == entries->end()) {
        return nullptr;
    }
    void *data = found->second.data;
    entries->erase(found);
    if (entries->empty()) {
        delete entries;
        registry->entries = nullptr;
    }
    return data;
}

void *orvel_extension_lookup(orvel_extension_registry_t *registry, const char *name)
{
    std::lock_guard<std::mutex> lock(registry_mutex());
    const Entry *entry = find_entry(registry, name);
    return entry != nullptr ? entry->data : nullptr;
}

orvel_module_descriptor_t *orvel_extension_get_module(orvel_extension_registry_t *registry, const char *name)
{
    std::lock_guard<std::mutex> lock(registry_mutex());
    const Entry *entry = find_entry(registry, name);
    return entry != nullptr ? entry->module : nullptr;
}

} // extern "C"
