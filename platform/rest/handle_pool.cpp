// Easy handles kept between exchanges. A handle keeps its connection cache
// across curl_easy_reset, so handing the same handles out again lets
// consecutive requests to a host reuse the open connection (and TLS session).
#include "rest_internal.hpp"

#include <mutex>
#include <vector>

namespace orvel::rest {
namespace {

// Enough for the connections of a transfer split into parallel streams.
constexpr size_t kMaxIdleHandles = 20;

std::mutex pool_mutex;
std::vector<CURL *> idle_handles;

} // namespace

CURL *acquire_handle()
{
    {
        std::lock_guard<std::mutex> lock(pool_mutex);
        if (!idle_handles.empty()) {
            CURL *curl = idle_handles.back();
            idle_handles.pop_back();
            curl_easy_reset(curl);
            return curl;
        }
    }
    return curl_easy_init();
}

void release_handle(CURL *curl)
{
    if (curl == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(pool_mutex);
        if (idle_handles.size() < kMaxIdleHandles) {
            idle_handles.push_back(curl);
            return;
        }
    }
    curl_easy_cleanup(curl);
}

void drop_all_handles()
{
    std::vector<CURL *> handles;
    {
        std::lock_guard<std::mutex> lock(pool_mutex);
        handles.swap(idle_handles);
    }
    for (CURL *curl : handles) {
        curl_easy_cleanup(curl);
    }
}

} // namespace orvel::rest
