// Module activation of the REST library: libcurl's global state and the
// common runtime are set up on the first activation and released on the last
// deactivation, together with the easy handles kept for connection reuse.
#include "orvel_dsi_rest.h"
#include "rest_internal.hpp"

#include <curl/curl.h>

namespace {

int rest_activate(void)
{
    if (orvel_module_activate(&orvel_i_common_module) != 0) {
        return 1;
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        orvel_module_deactivate(&orvel_i_common_module);
        return 1;
    }
    return 0;
}

int rest_deactivate(void)
{
    orvel::rest::drop_all_handles();
    curl_global_cleanup();
    orvel_module_deactivate(&orvel_i_common_module);
    return 0;
}

} // namespace

extern "C" {

orvel_module_descriptor_t orvel_i_dsi_rest_module = {
    "orvel_dsi_rest", rest_activate, rest_deactivate, nullptr, nullptr, {0, 1, 0, 0}, nullptr,
};

} // extern "C"
