// Listing of a large folder through the plug-in's stat slot (pages of 1000,
// stat records in batches of 100, every entry cached) side by side with
// libcurl fetching the same pages from the same emulator over one reused
// connection, and the memory the listing costs.
//
//   bench_listing [ENTRIES] [ROUNDS]     (defaults: 100000 entries, 2 rounds)
//
// Prints the best round of each, the time ratio (aim: at least 0.8) and the
// growth of this process's peak resident memory.
#include "bench_support.hpp"
#include "emulator_fixture.hpp"
#include "home_override.hpp"
#include "orvel_dropbox_common.h"
#include "orvel_host.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

using namespace orvel::test;
namespace host = orvel::host;

namespace {

size_t collect(char *data, size_t size, size_t count, void *arg)
{
    static_cast<std::string *>(arg)->append(data, size * count);
    return size * count;
}

// Fetches every page of the folder with libcurl; returns seconds and the
// number of entries seen, or a negative time on failure.
double time_curl(const Emulator &emulator, const std::string &folder, size_t *entries_out)
{
    CURL *curl = curl_easy_init();
    std::string connect_to = "api.dropboxapi.com:443:127.0.0.1:" + std::to_string(emulator.port());
    curl_slist *connect = curl_slist_append(nullptr, connect_to.c_str());
    curl_slist *headers = curl_slist_append(nullptr, "Authorization: Bearer token-ann");
    headers = curl_slist_append(headers, "Content-Type: application/json");
    std::string body;
    curl_easy_setopt(curl, CURLOPT_CAINFO, emulator.ca_file().c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connect);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);

    size_t entries = 0;
    bool ok = true;
    std::string cursor;
    const auto start = std::chrono::steady_clock::now();
    for (bool more = true; more && ok;) {
        json_t *args = cursor.empty() ? json_pack("{s:s, s:i, s:b}", "path", folder.c_str(), "limit", 1000,
                                                  "include_non_downloadable_files", 0)
                                      : json_pack("{s:s}", "cursor", cursor.c_str());
        char *text = json_dumps(args, JSON_COMPACT);
        std::string url =
            std::string("https://api.dropboxapi.com/2/files/list_folder") + (cursor.empty() ? "" : "/continue");
        body.clear();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, text);
        long status = 0;
        ok = curl_easy_perform(curl) == CURLE_OK &&
             curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
        free(text);
        json_decref(args);
        json_t *reply = ok ? json_loads(body.c_str(), 0, nullptr) : nullptr;
        ok = ok && reply != nullptr;
        if (ok) {
            entries += json_array_size(json_object_get(reply, "entries"));
            more = json_is_true(json_object_get(reply, "has_more"));
            const char *next = json_string_value(json_object_get(reply, "cursor"));
            cursor = next != nullptr ? next : "";
        }
        json_decref(reply);
    }
    const double elapsed = seconds_since(start);
    curl_slist_free_all(headers);
    curl_slist_free_all(connect);
    curl_easy_cleanup(curl);
    *entries_out = entries;
    return ok ? elapsed : -1;
}

double time_plugin(host::Session &session, const std::string &folder, size_t *records_out)
{
    size_t records = 0;
    host::Hooks hooks;
    hooks.on_stat_batch = [&records](const std::vector<host::StatEntry> &batch) { records += batch.size(); };
    const auto start = std::chrono::steady_clock::now();
    host::Outcome outcome = session.stat(folder, false, hooks);
    const double elapsed = seconds_since(start);
    if (!outcome.ok()) {
        std::fprintf(stderr, "plug-in listing failed: %s\n", outcome.chain_text().c_str());
        return -1;
    }
    if (!outcome.stat_batches.empty())
        records += outcome.stat_batches.back().size(); // the final reply
    *records_out = records;
    return elapsed;
}

} // namespace

int main(int argc, char **argv)
{
    const long count = argc > 1 ? std::atol(argv[1]) : 100000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;

    // State files of the plug-in go to a private home folder.
    override_home() = make_temp_dir("orvel-bench-home");
    orvel_i_dropbox_syscalls.getpwuid_r = home_getpwuid_r;
    Emulator emulator;
    emulator.use_for_rest();
    emulator.make_folder("/many");
    const std::string dir = emulator.ns_dir() + "/many";
    for (long i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/entry-%06ld", i);
        int fd = open((dir + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0)
            close(fd);
    }

    host::Host::activate_module(&orvel_gridftp_server_dropbox_module);
    orvel_i_dropbox_api_per_second = 1000000; // no pacing: measure the work, not the spacing
    std::unique_ptr<host::Session> session = start_plugin_session(emulator);
    if (!session)
        return 1;
    // Resolve the folder once so that each round is the listing alone.
    session->stat("/many", true);

    double best_curl = 0, best_plugin = 0;
    long rss_growth = -1;
    for (int round = 0; round < rounds; ++round) {
        size_t entries = 0, records = 0;
        const double curl_cpu_before = cpu_seconds();
        double c = time_curl(emulator, "/many", &entries);
        const double curl_cpu = cpu_seconds() - curl_cpu_before;
        const long rss_before = peak_rss_kib();
        const double cpu_before = cpu_seconds();
        double p = time_plugin(*session, "/many", &records);
        const double cpu = cpu_seconds() - cpu_before;
        if (rss_growth < 0)
            rss_growth = peak_rss_kib() - rss_before;
        if (c < 0 || p < 0)
            return 1;
        if (entries != static_cast<size_t>(count) || records != static_cast<size_t>(count) + 1)
            std::fprintf(stderr, "counts differ: curl %zu entries, plug-in %zu records\n", entries, records);
        if (best_curl == 0 || c < best_curl)
            best_curl = c;
        if (best_plugin == 0 || p < best_plugin)
            best_plugin = p;
        std::printf("round %d: curl %.3f s (%.3f s CPU in this process), plug-in %.3f s (%.3f s CPU in this "
                    "process)\n",
                    round + 1, c, curl_cpu, p, cpu);
    }

    std::printf("listing of %ld entries (%ld pages), best of %d rounds\n", count, (count + 999) / 1000, rounds);
    std::printf("  libcurl pages: %.3f s\n", best_curl);
    std::printf("  plug-in stat : %.3f s\n", best_plugin);
    std::printf("  time ratio curl / plug-in: %.3f (aim >= 0.8)\n", best_curl / best_plugin);
    std::printf("peak RSS growth of the first plug-in listing: %ld KiB (the path cache keeps every entry)\n",
                rss_growth);

    session.reset();
    host::Host::deactivate_module(&orvel_gridftp_server_dropbox_module);
    remove_tree(override_home());
    return 0;
}
