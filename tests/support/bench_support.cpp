#include "bench_support.hpp"

#include <cstdio>

namespace orvel::test {

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double cpu_seconds(int who)
{
    struct rusage usage {};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peak_rss_kib()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double time_curl_download(const Emulator &emulator, const std::string &path, uint64_t size)
{
    const std::string command =
        "curl -sS --http1.1 -o /dev/null -w '%{size_download}' --cacert '" + emulator.ca_file() +
        "' --connect-to content.dropboxapi.com:443:127.0.0.1:" + std::to_string(emulator.port()) +
        " -H 'Authorization: Bearer token-ann' -H 'Dropbox-API-Arg: {\"path\": \"" + path +
        "\"}' https://content.dropboxapi.com/2/files/download";
    const auto start = std::chrono::steady_clock::now();
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    unsigned long long got = 0;
    int scanned = std::fscanf(pipe, "%llu", &got);
    int status = pclose(pipe);
    const double elapsed = seconds_since(start);
    if (scanned != 1 || status != 0 || got != size) {
        std::fprintf(stderr, "curl failed (status %d, %llu of %llu bytes)\n", status, got,
                     static_cast<unsigned long long>(size));
        return -1;
    }
    return elapsed;
}

std::unique_ptr<host::Session> start_plugin_session(const Emulator &emulator)
{
    host::Outcome started;
    std::unique_ptr<host::Session> session = host::Host::start_session(
        "dropbox", "ann", host::fixed_config({{"creds", emulator.credential_json()}}), &started);
    if (!session)
        std::fprintf(stderr, "session did not start: %s\n", started.chain_text().c_str());
    return session;
}

} // namespace orvel::test
