// Progress reporting and the idle limit: an exchange in which no byte moves
// in either direction for the configured time is stopped as a timeout.
#include "orvel_dsi_rest.h"
#include "rest_internal.hpp"

#include <cstdint>
#include <string>

namespace orvel::rest {

int transfer_progress(void *clientp, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow)
{
    auto *ctx = static_cast<RequestContext *>(clientp);
    ctx->ul_now = ulnow;
    ctx->dl_now = dlnow;
    const orvel_dsi_rest_callbacks_t *callbacks = ctx->callbacks;
    if (callbacks->progress_callback == nullptr) {
        return 0;
    }
    orvel_result_t result = callbacks->progress_callback(callbacks->progress_callback_arg, ctx);
    if (result != ORVEL_SUCCESS) {
        ctx->fail(result);
        return 1;
    }
    return 0;
}

} // namespace orvel::rest

extern "C" orvel_result_t orvel_dsi_rest_progress_idle_timeout(void *progress_callback_arg, void *library_context)
{
    using namespace orvel::rest;
    const auto limit_ms = static_cast<int64_t>(reinterpret_cast<intptr_t>(progress_callback_arg));
    auto *ctx = static_cast<RequestContext *>(library_context);
    if (ctx == nullptr || limit_ms <= 0) {
        return ORVEL_SUCCESS;
    }
    const auto now = std::chrono::steady_clock::now();
    if (ctx->ul_now != ctx->last_ul || ctx->dl_now != ctx->last_dl) {
        ctx->last_ul = ctx->ul_now;
        ctx->last_dl = ctx->dl_now;
        ctx->last_change = now;
        return ORVEL_SUCCESS;
    }
    const auto idle_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - ctx->last_change).count();
    if (idle_ms < limit_ms) {
        return ORVEL_SUCCESS;
    }
    return make_error(CURLE_OPERATION_TIMEDOUT,
                      "no data moved for " + std::to_string(idle_ms) + " ms (idle limit " + std::to_string(limit_ms) +
                          " ms)",
                      ctx->body_consumed);
}
