// Module activation: per-descriptor activation counts and the runtime's own
// module descriptor.
#include "orvel_common.h"
#include "orvel_common_internal.hpp"

#include <mutex>
#include <unordered_map>

namespace {

// Activation functions commonly activate the modules they depend on, so the
// lock must allow the same thread to re-enter.
std::recursive_mutex &module_mutex()
{
    static auto *mutex = new std::recursive_mutex;
    return *mutex;
}

// Kept on the heap and never destroyed: modules may be deactivated from other
// libraries' static destructors after this file's statics would be gone.
std::unordered_map<const orvel_module_descriptor_t *, int> &activation_counts()
{
    static auto *counts = new std::unordered_map<const orvel_module_descriptor_t *, int>;
    return *counts;
}

int common_activate()
{
    return 0;
}

int common_deactivate()
{
    orvel_common_internal::free_held_errors();
    return 0;
}

} // namespace

extern "C" {

orvel_module_descriptor_t orvel_i_common_module = {
    "orvel_common", common_activate, common_deactivate, nullptr, nullptr, {0, 1, 0, 0}, nullptr,
};

int orvel_module_activate(orvel_module_descriptor_t *module)
{
    if (module == nullptr) {
        return -1;
    }
    std::lock_guard<std::recursive_mutex> lock(module_mutex());
    auto &counts = activation_counts();
    auto found = counts.find(module);
    if (found != counts.end() && found->second > 0) {
        found->second++;
        return 0;
    }
    // Count the module as active while its activation runs, so that a module
    // that (indirectly) activates itself again does not loop.
    counts[module] = 1;
    int rc = module->activation_func != nullptr ? module->activation_func() : 0;
    if (rc != 0) {
        counts.erase(module);
    }
    return rc;
}

int orvel_module_deactivate(orvel_module_descriptor_t *module)
{
    if (module == nullptr) {
        return -1;
    }
    std::lock_guard<std::recursive_mutex> lock(module_mutex());
    auto &counts = activation_counts();
    auto found = counts.find(module);
    if (found == counts.end() || found->second <= 0) {
        return -1;
    }
    if (--found->second > 0) {
        return 0;
    }
    counts.erase(found);
    return module->deactivation_func != nullptr ? module->deactivation_func() : 0;
}

} // extern "C"
