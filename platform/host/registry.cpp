// The registry of storage interfaces and the loading of plug-in libraries.
#include "operation.hpp"

#include <dlfcn.h>

extern "C" {
orvel_extension_registry_t orvel_i_gfs_dsi_registry = {nullptr};
}

namespace orvel::host {

orvel_result_t Host::load_library(const std::string &library_path, const std::string &module_symbol,
                                  std::string *error_text)
{
    detail::ensure_runtime();
    auto fail = [&](const std::string &text) {
        if (error_text != nullptr) {
            *error_text = text;
        }
        return detail::put_reply_error(500, "INTERNAL_ERROR", text);
    };
    // Loaded libraries stay loaded: their storage interfaces are registered
    // in the host's registry for the life of the process.
    void *library = dlopen(library_path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr) {
        const char *why = dlerror();
        return fail("Cannot load " + library_path + ": " + (why != nullptr ? why : "unknown error"));
    }
    dlerror();
    auto *module = static_cast<orvel_module_descriptor_t *>(dlsym(library, module_symbol.c_str()));
    if (module == nullptr) {
        const char *why = dlerror();
        return fail("No module descriptor " + module_symbol + " in " + library_path +
                    (why != nullptr ? std::string(": ") + why : std::string()));
    }
    int rc = orvel_module_activate(module);
    if (rc != 0) {
        return fail("Activation of module " + std::string(module->module_name ? module->module_name : module_symbol) +
                    " failed with " + std::to_string(rc));
    }
    if (error_text != nullptr) {
        error_text->clear();
    }
    return ORVEL_SUCCESS;
}

int Host::activate_module(orvel_module_descriptor_t *module)
{
    detail::ensure_runtime();
    if (module == nullptr) {
        return -1;
    }
    return orvel_module_activate(module);
}

int Host::deactivate_module(orvel_module_descriptor_t *module)
{
    if (module == nullptr) {
        return -1;
    }
    return orvel_module_deactivate(module);
}

orvel_gfs_storage_iface_t *Host::find_dsi(const std::string &name)
{
    return static_cast<orvel_gfs_storage_iface_t *>(orvel_extension_lookup(&orvel_i_gfs_dsi_registry, name.c_str()));
}

} // namespace orvel::host
