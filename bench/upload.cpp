// Upload throughput of the plug-in through an upload session (parts of
// 100 MiB streamed from the host's data channel), measured side by side with
// the curl command-line tool sending the same bytes to the same emulator's
// upload-session endpoints (start, one append per 100 MiB part from a file,
// finish), and the growth of this process's peak resident memory during the
// plug-in's upload.
//
//   bench_upload [SIZE_MIB] [ROUNDS]     (defaults: 1024 MiB, 1 round)
#include "bench_support.hpp"
#include "emulator_fixture.hpp"
#include "home_override.hpp"
#include "orvel_dropbox_common.h"
#include "orvel_host.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace orvel::test;
namespace host = orvel::host;

namespace {

constexpr uint64_t kPart = 104857600;
constexpr uint32_t kSeed = 11;

// A line "Key:   N kB" of /proc/self/status, in KiB; -1 when absent.
long status_kib(const char *key)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t key_len = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, key_len, key) == 0 && line.size() > key_len && line[key_len] == ':')
            return std::strtol(line.c_str() + key_len + 1, nullptr, 10);
    }
    return -1;
}

// Resets the peak resident size to the current one (Linux 4.0 and later).
bool reset_peak_rss()
{
    int fd = open("/proc/self/clear_refs", O_WRONLY);
    if (fd < 0)
        return false;
    bool ok = write(fd, "5", 1) == 1;
    close(fd);
    return ok;
}

// Options of every curl request (after "curl" or "--next").
std::string curl_options(const Emulator &emulator)
{
    return " -sS --http1.1 --cacert '" + emulator.ca_file() +
           "' --connect-to content.dropboxapi.com:443:127.0.0.1:" + std::to_string(emulator.port()) +
           " -H 'Authorization: Bearer token-ann' -H 'Content-Type: application/octet-stream' -H 'Expect:'";
}

std::string run(const std::string &command, int *status)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    *status = pclose(pipe);
    return out;
}

// Writes the parts of the generator's stream into files (not timed).
std::vector<std::string> write_parts(const std::string &dir, uint64_t size)
{
    std::vector<std::string> files;
    std::vector<unsigned char> buffer(1 << 20);
    for (uint64_t offset = 0; offset < size; offset += kPart) {
        std::string path = dir + "/part" + std::to_string(files.size());
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        uint64_t end = offset + kPart < size ? offset + kPart : size;
        for (uint64_t pos = offset; pos < end && fd >= 0;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - pos));
            for (size_t i = 0; i < n; i++)
                buffer[i] = host::GeneratorChannel::generated_byte(kSeed, pos + i);
            if (write(fd, buffer.data(), n) != static_cast<ssize_t>(n)) {
                close(fd);
                fd = -1;
                break;
            }
            pos += n;
        }
        if (fd < 0)
            return {};
        close(fd);
        files.push_back(path);
    }
    return files;
}

// Seconds curl took for start, every append and finish; negative on failure.
double time_curl(const Emulator &emulator, const std::vector<std::string> &parts, uint64_t size, double *cpu)
{
    const double cpu_before = cpu_seconds(RUSAGE_CHILDREN);
    const std::string options = curl_options(emulator);
    const std::string base = "curl" + options;
    const std::string url = "https://content.dropboxapi.com/2/files/upload_session/";
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    std::string reply = run(
        base + " -H 'Dropbox-API-Arg: {\"session_type\": \"concurrent\"}' --data-binary '' " + url + "start", &status);
    json_t *json = json_loads(reply.c_str(), 0, nullptr);
    const char *id_text = json_string_value(json_object_get(json, "session_id"));
    std::string id = id_text != nullptr ? id_text : "";
    json_decref(json);
    if (status != 0 || id.empty()) {
        std::fprintf(stderr, "curl start failed: %s\n", reply.c_str());
        return -1;
    }
    // One curl process for all appends, so that the connection is reused.
    std::string appends = base;
    for (size_t k = 0; k < parts.size(); k++) {
        if (k > 0)
            appends += " --next" + options;
        appends += " -X POST -o /dev/null -w '%{http_code}\\n' -T '" + parts[k] +
                   "' -H 'Dropbox-API-Arg: {\"close\": " + (k + 1 == parts.size() ? "true" : "false") +
                   ", \"cursor\": {\"session_id\": \"" + id + "\", \"offset\": " + std::to_string(k * kPart) + "}}' " +
                   url + "append_v2";
    }
    reply = run(appends, &status);
    if (status != 0 || reply.find_first_not_of("200\n") != std::string::npos) {
        std::fprintf(stderr, "curl appends failed: %s\n", reply.c_str());
        return -1;
    }
    reply = run(base +
                    " -H 'Dropbox-API-Arg: {\"commit\": {\"path\": \"/bench/curl.bin\", \"mode\": \"overwrite\"}, "
                    "\"cursor\": {\"session_id\": \"" +
                    id + "\", \"offset\": " + std::to_string(size) + "}}' --data-binary '' " + url + "finish",
                &status);
    const double elapsed = seconds_since(start);
    *cpu = cpu_seconds(RUSAGE_CHILDREN) - cpu_before;
    if (status != 0 || reply.find("\"size\": " + std::to_string(size)) == std::string::npos) {
        std::fprintf(stderr, "curl finish failed: %s\n", reply.c_str());
        return -1;
    }
    return elapsed;
}

// Seconds the plug-in took to store the generator's stream.
double time_plugin(host::Session &session, uint64_t size, long *rss_growth_kib, double *cpu)
{
    host::TransferRequest request;
    request.pathname = "/bench/plugin.bin";
    request.channel = std::make_shared<host::GeneratorChannel>(size, kSeed);
    request.alloc_size = static_cast<int64_t>(size);
    request.truncate = true;
    const long before = status_kib("VmRSS");
    const bool reset = reset_peak_rss();
    const double cpu_before = cpu_seconds(RUSAGE_SELF);
    const auto start = std::chrono::steady_clock::now();
    host::Outcome outcome = session.recv(request);
    const double elapsed = seconds_since(start);
    *cpu = cpu_seconds(RUSAGE_SELF) - cpu_before;
    const long peak = status_kib("VmHWM");
    *rss_growth_kib = reset && before >= 0 && peak >= 0 ? peak - before : -1;
    if (!outcome.ok()) {
        std::fprintf(stderr, "plug-in upload failed: %s\n", outcome.chain_text().c_str());
        return -1;
    }
    return elapsed;
}

} // namespace

int main(int argc, char **argv)
{
    const uint64_t size_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 1;
    const uint64_t size = size_mib * 1024 * 1024;
    if (size <= kPart || rounds < 1) {
        std::fprintf(stderr, "usage: %s [SIZE_MIB above 100] [ROUNDS]\n", argv[0]);
        return 2;
    }
    // State files of the plug-in go to a private home folder.
    override_home() = make_temp_dir("orvel-bench-upload");
    orvel_i_dropbox_syscalls.getpwuid_r = home_getpwuid_r;
    if (host::Host::activate_module(&orvel_gridftp_server_dropbox_module) != 0) {
        std::fprintf(stderr, "cannot activate the plug-in\n");
        return 1;
    }
    int rc = 0;
    {
        Emulator emulator;
        emulator.use_for_rest();
        emulator.make_folder("/bench");
        const std::string parts_dir = make_temp_dir("orvel-bench-parts");
        const std::vector<std::string> parts = write_parts(parts_dir, size);

        orvel_i_dropbox_api_per_second = 1000; // read by session start: pace lightly
        std::unique_ptr<host::Session> session = start_plugin_session(emulator);
        if (parts.empty())
            std::fprintf(stderr, "cannot write the parts in %s\n", parts_dir.c_str());
        if (parts.empty() || session == nullptr)
            rc = 1;
        double best_curl = 0;
        double best_plugin = 0;
        long worst_growth = 0;
        for (int round = 0; rc == 0 && round < rounds; ++round) {
            long growth = -1;
            double curl_cpu = 0;
            double plugin_cpu = 0;
            const double c = time_curl(emulator, parts, size, &curl_cpu);
            const double p = c < 0 ? -1 : time_plugin(*session, size, &growth, &plugin_cpu);
            if (c < 0 || p < 0) {
                rc = 1;
                break;
            }
            std::printf("round %d: curl %.2f s (%.2f s CPU), plug-in %.2f s (%.2f s CPU)\n", round + 1, c, curl_cpu, p,
                        plugin_cpu);
            best_curl = (round == 0 || c < best_curl) ? c : best_curl;
            best_plugin = (round == 0 || p < best_plugin) ? p : best_plugin;
            worst_growth = growth > worst_growth ? growth : worst_growth;
        }
        if (rc == 0) {
            const double mb = static_cast<double>(size) / 1e6;
            std::printf("file: %llu MiB in %zu parts, best of %d rounds\n", static_cast<unsigned long long>(size_mib),
                        parts.size(), rounds);
            std::printf("curl:    %8.1f MB/s (start, appends from files, finish)\n", mb / best_curl);
            std::printf("plug-in: %8.1f MB/s (recv through the host, generated stream)\n", mb / best_plugin);
            std::printf("plug-in/curl throughput ratio: %.2f\n", best_curl / best_plugin);
            std::printf("peak RSS growth during the plug-in's upload: %.1f MiB\n",
                        static_cast<double>(worst_growth) / 1024.0);
        }
        session.reset();
        remove_tree(parts_dir);
    }
    host::Host::deactivate_module(&orvel_gridftp_server_dropbox_module);
    remove_tree(override_home());
    return rc;
}
