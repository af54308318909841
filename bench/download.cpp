// Download through the whole plug-in (resolution, request procedure, REST
// library, data channel) side by side with the curl command-line tool
// fetching the same file from the same emulator, and the memory it costs.
//
//   bench_download [SIZE_MIB] [ROUNDS]     (defaults: 1024 MiB, 2 rounds)
//
// Prints the best round of each, their ratio (aim: at least 0.95) and the
// growth of this process's peak resident memory over a 1 MiB download and
// over the large one (aim: the large one costs less than 16 MiB more).
#include "emulator_fixture.hpp"
#include "orvel_dropbox_common.h"
#include "orvel_host.hpp"

#include <pwd.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

using namespace orvel::test;
namespace host = orvel::host;

namespace {

std::string g_home;

// State files of the plug-in go to a private home folder.
int bench_getpwuid_r(uid_t uid, struct passwd *pwd, char *buf, size_t buflen, struct passwd **result)
{
    int rc = orvel_i_dropbox_syscalls_default.getpwuid_r(uid, pwd, buf, buflen, result);
    if (rc == 0 && *result != nullptr && g_home.size() < buflen) {
        std::memcpy(buf, g_home.c_str(), g_home.size() + 1);
        pwd->pw_dir = buf;
    }
    return rc;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long peak_rss_kib()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double time_curl(const Emulator &emulator, const std::string &path, uint64_t size)
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

double time_plugin(host::Session &session, const std::string &path, uint64_t size)
{
    auto channel = std::make_shared<host::NullChannel>();
    host::TransferRequest request;
    request.pathname = path;
    request.channel = channel;
    const auto start = std::chrono::steady_clock::now();
    host::Outcome outcome = session.send(request);
    const double elapsed = seconds_since(start);
    if (!outcome.ok() || channel->bytes_written() != size) {
        std::fprintf(stderr, "plug-in download failed: %s (%llu of %llu bytes)\n", outcome.chain_text().c_str(),
                     static_cast<unsigned long long>(channel->bytes_written()),
                     static_cast<unsigned long long>(size));
        return -1;
    }
    return elapsed;
}

} // namespace

int main(int argc, char **argv)
{
    const uint64_t size_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
    const uint64_t size = size_mib << 20;
    const uint64_t small = 1 << 20;

    g_home = make_temp_dir("orvel-bench-home");
    orvel_i_dropbox_syscalls.getpwuid_r = bench_getpwuid_r;
    Emulator emulator;
    emulator.use_for_rest();
    emulator.put_sparse_file("/big.bin", size);
    emulator.put_sparse_file("/small.bin", small);

    host::Host::activate_module(&orvel_gridftp_server_dropbox_module);
    orvel_i_dropbox_api_per_second = 1000;
    host::Outcome started;
    std::unique_ptr<host::Session> session = host::Host::start_session(
        "dropbox", "ann", host::fixed_config({{"creds", emulator.credential_json()}}), &started);
    if (!session) {
        std::fprintf(stderr, "session did not start: %s\n", started.chain_text().c_str());
        return 1;
    }

    // Memory: a small download first (warms up every path), then the large.
    const long rss_start = peak_rss_kib();
    if (time_plugin(*session, "/small.bin", small) < 0)
        return 1;
    const long rss_small = peak_rss_kib();

    double best_curl = 0, best_plugin = 0;
    long rss_before_big = peak_rss_kib();
    for (int round = 0; round < rounds; ++round) {
        double c = time_curl(emulator, "/big.bin", size);
        double p = time_plugin(*session, "/big.bin", size);
        if (c < 0 || p < 0)
            return 1;
        if (best_curl == 0 || c < best_curl)
            best_curl = c;
        if (best_plugin == 0 || p < best_plugin)
            best_plugin = p;
        std::printf("round %d: curl %.3f s, plug-in %.3f s\n", round + 1, c, p);
    }
    const long rss_big = peak_rss_kib();

    const double mb = static_cast<double>(size) / 1e6;
    std::printf("download of %llu MiB (sparse file), best of %d rounds\n", static_cast<unsigned long long>(size_mib),
                rounds);
    std::printf("  curl CLI: %8.1f MB/s\n", mb / best_curl);
    std::printf("  plug-in : %8.1f MB/s\n", mb / best_plugin);
    std::printf("  ratio plug-in / curl: %.3f (aim >= 0.95)\n", best_curl / best_plugin);
    std::printf("peak RSS growth: 1 MiB download %ld KiB, %llu MiB downloads %ld KiB more (aim < 16384 KiB)\n",
                rss_small - rss_start, static_cast<unsigned long long>(size_mib), rss_big - rss_before_big);

    session.reset();
    host::Host::deactivate_module(&orvel_gridftp_server_dropbox_module);
    remove_tree(g_home);
    return 0;
}
