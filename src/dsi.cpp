// Module registration: the plug-in's two module descriptors, the storage
// interface registered as "dropbox", and the process-wide settings.
#include "orvel_dropbox_guard.hpp"

#include <cstdio>

/* ------------------------------------------------------ process-wide values */

uint32_t orvel_i_dropbox_api_per_second = 20;
int32_t orvel_i_dropbox_max_delay = 25;
int32_t orvel_i_dropbox_progress_timeout_ms = 30000;
const char *orvel_i_dropbox_retry_path = "$HOME/.orvel/dropbox-r";
const char *orvel_i_dropbox_upload_path = "$HOME/.orvel/dropbox-u";
const char *orvel_i_dropbox_api_host = "https://api.dropboxapi.com";
const char *orvel_i_dropbox_content_host = "https://content.dropboxapi.com";
int32_t orvel_i_dropbox_lock_wait_ms = 5000;
int32_t orvel_i_dropbox_metadata_max_age_ms = 5000;

/* ---------------------------------------------------------------- modules */

static int orvel_l_dropbox_activate(void);
static int orvel_l_dropbox_deactivate(void);
static int orvel_l_dropbox_common_activate(void);
static int orvel_l_dropbox_common_deactivate(void);

/* Runs an activation or deactivation function through the guard: an
 * exception fails it (-1). */
static int orvel_l_dropbox_guarded(const char *entry, int (*body)(void)) noexcept
{
    int rc = -1;
    orvel_error_discard(orvel_i_dropbox_guard(entry, [&] {
        rc = body();
        return ORVEL_SUCCESS;
    }));
    return rc;
}

static int orvel_l_dropbox_guarded_activate(void) noexcept
{
    return orvel_l_dropbox_guarded("activation", orvel_l_dropbox_activate);
}

static int orvel_l_dropbox_guarded_deactivate(void) noexcept
{
    return orvel_l_dropbox_guarded("deactivation", orvel_l_dropbox_deactivate);
}

static int orvel_l_dropbox_guarded_common_activate(void) noexcept
{
    return orvel_l_dropbox_guarded("activation", orvel_l_dropbox_common_activate);
}

static int orvel_l_dropbox_guarded_common_deactivate(void) noexcept
{
    return orvel_l_dropbox_guarded("deactivation", orvel_l_dropbox_common_deactivate);
}

extern "C" {

orvel_module_descriptor_t orvel_gridftp_server_dropbox_module = {
    "orvel_gridftp_server_dropbox",     // module_name
    orvel_l_dropbox_guarded_activate,   // activation_func
    orvel_l_dropbox_guarded_deactivate, // deactivation_func
    nullptr,                            // atexit_func
    nullptr,                            // get_pointer_func
    {0, 1, 0, 0},                       // version 0.1
    nullptr,                            // friendly_error_func
};

orvel_module_descriptor_t orvel_i_dropbox_common_module = {
    "orvel_dropbox_common",                    // module_name
    orvel_l_dropbox_guarded_common_activate,   // activation_func
    orvel_l_dropbox_guarded_common_deactivate, // deactivation_func
    nullptr,                                   // atexit_func
    nullptr,                                   // get_pointer_func
    {0, 1, 0, 0},                              // version 0.1
    nullptr,                                   // friendly_error_func
};

} // extern "C"

/* ------------------------------------------------------- guarded slots */

/* The slots as the host calls them: each runs the plug-in's slot through the
 * guard, which answers in its place when an exception stops it. */

void orvel_i_dropbox_guarded_start(orvel_gfs_operation_t op, orvel_gfs_session_info_t *session_info)
{
    orvel_i_dropbox_guard_slot(
        "session start", [&] { orvel_i_dropbox_start(op, session_info); },
        [&](orvel_result_t result) {
            orvel_gridftp_server_finished_session_start(op, result, nullptr, nullptr, nullptr);
        });
}

void orvel_i_dropbox_guarded_destroy(void *user_arg)
{
    orvel_i_dropbox_guard_void("session end", [&] { orvel_i_dropbox_destroy(user_arg); });
}

void orvel_i_dropbox_guarded_send(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *transfer_info, void *user_arg)
{
    orvel_i_dropbox_guard_slot(
        "retrieve", [&] { orvel_i_dropbox_send(op, transfer_info, user_arg); },
        [&](orvel_result_t result) { orvel_gridftp_server_finished_transfer(op, result); });
}

void orvel_i_dropbox_guarded_recv(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *transfer_info, void *user_arg)
{
    orvel_i_dropbox_guard_slot(
        "store", [&] { orvel_i_dropbox_recv(op, transfer_info, user_arg); },
        [&](orvel_result_t result) { orvel_gridftp_server_finished_transfer(op, result); });
}

void orvel_i_dropbox_guarded_command(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg)
{
    orvel_i_dropbox_guard_slot(
        "command", [&] { orvel_i_dropbox_command(op, cmd_info, user_arg); },
        [&](orvel_result_t result) { orvel_gridftp_server_finished_command(op, result, nullptr); });
}

void orvel_i_dropbox_guarded_stat(orvel_gfs_operation_t op, orvel_gfs_stat_info_t *stat_info, void *user_arg)
{
    orvel_i_dropbox_guard_slot(
        "stat", [&] { orvel_i_dropbox_stat(op, stat_info, user_arg); },
        [&](orvel_result_t result) { orvel_gridftp_server_finished_stat(op, result, nullptr, 0); });
}

/* The storage interface: session start and teardown, the two transfers, the
 * commands and stat; listings arrive through stat. */
static const orvel_gfs_storage_iface_t orvel_l_dropbox_dsi_iface = {
    ORVEL_GFS_DSI_DESCRIPTOR_SENDER | ORVEL_GFS_DSI_DESCRIPTOR_BLOCKING |
        ORVEL_GFS_DSI_DESCRIPTOR_REQUIRES_ORDERED_DATA | ORVEL_GFS_DSI_DESCRIPTOR_SAFE_RDEL, // 43
    orvel_i_dropbox_guarded_start,                                                           // init_func
    orvel_i_dropbox_guarded_destroy,                                                         // destroy_func
    nullptr,                         // list_func: listings come through stat
    orvel_i_dropbox_guarded_send,    // send_func
    orvel_i_dropbox_guarded_recv,    // recv_func
    nullptr,                         // trev_func
    nullptr,                         // active_func
    nullptr,                         // passive_func
    nullptr,                         // data_destroy_func
    orvel_i_dropbox_guarded_command, // command_func
    orvel_i_dropbox_guarded_stat,    // stat_func
    nullptr,                         // set_cred_func
    nullptr,                         // buffer_send_func
    nullptr,                         // realpath_func
};
static_assert(ORVEL_GFS_DSI_DESCRIPTOR_SENDER + ORVEL_GFS_DSI_DESCRIPTOR_BLOCKING +
                      ORVEL_GFS_DSI_DESCRIPTOR_REQUIRES_ORDERED_DATA + ORVEL_GFS_DSI_DESCRIPTOR_SAFE_RDEL ==
                  43,
              "descriptor word");

static int orvel_l_dropbox_activate(void)
{
    // The interface is registered even when the internal module fails: the
    // host can then still answer with the plug-in's errors.
    orvel_i_dropbox_json_alloc_route();
    (void)orvel_module_activate(&orvel_i_dropbox_common_module);
    (void)orvel_extension_registry_add(&orvel_i_gfs_dsi_registry, "dropbox", &orvel_gridftp_server_dropbox_module,
                                       const_cast<orvel_gfs_storage_iface_t *>(&orvel_l_dropbox_dsi_iface));
    return 0;
}

static int orvel_l_dropbox_deactivate(void)
{
    (void)orvel_extension_registry_remove(&orvel_i_gfs_dsi_registry, "dropbox");
    (void)orvel_module_deactivate(&orvel_i_dropbox_common_module);
    orvel_i_dropbox_json_alloc_restore();
    return 0;
}

static int orvel_l_dropbox_common_activate(void)
{
    int rc = orvel_module_activate(&orvel_i_common_module);
    if (rc != 0) {
        (void)orvel_module_activate(&orvel_i_dsi_rest_module);
        return rc;
    }
    orvel_debug_init("ORVEL_DROPBOX_DEBUG", "TRACE DEBUG INFO WARN ERROR", &orvel_i_ORVEL_DROPBOX_debug_handle);
    (void)orvel_module_activate(&orvel_i_dsi_rest_module);
    return 0;
}

static int orvel_l_dropbox_common_deactivate(void)
{
    (void)orvel_module_deactivate(&orvel_i_dsi_rest_module);
    (void)orvel_module_deactivate(&orvel_i_common_module);
    if (orvel_i_ORVEL_DROPBOX_debug_handle.using_file && orvel_i_ORVEL_DROPBOX_debug_handle.file != nullptr) {
        fclose(orvel_i_ORVEL_DROPBOX_debug_handle.file);
    }
    orvel_i_ORVEL_DROPBOX_debug_handle.file = nullptr;
    return 0;
}
