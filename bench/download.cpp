// Download through the whole plug-in (resolution, request procedure, REST
// library, data channel) side by side with the curl command-line tool
// fetching the same file from the same emulator, and the memory it costs.
//
//   bench_download [SIZE_MIB] [ROUNDS]     (defaults: 1024 MiB, 2 rounds)
//
// Prints the best round of each, their ratio (aim: at least 0.95) and the
// growth of this process's peak resident memory over a 1 MiB download and
// over the large one (aim: the large one costs no more than its pieces in
// flight, streams x piece size, plus 16 MiB).
#include "bench_support.hpp"
#include "emulator_fixture.hpp"
#include "home_override.hpp"
#include "orvel_dropbox_transfer.h"
#include "orvel_host.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

using namespace orvel::test;
namespace host = orvel::host;

namespace {

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
                     static_cast<unsigned long long>(channel->bytes_written()), static_cast<unsigned long long>(size));
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

    // State files of the plug-in go to a private home folder.
    override_home() = make_temp_dir("orvel-bench-home");
    orvel_i_dropbox_syscalls.getpwuid_r = home_getpwuid_r;
    Emulator emulator;
    emulator.use_for_rest();
    emulator.put_sparse_file("/big.bin", size);
    emulator.put_sparse_file("/small.bin", small);

    host::Host::activate_module(&orvel_gridftp_server_dropbox_module);
    orvel_i_dropbox_api_per_second = 1000;
    std::unique_ptr<host::Session> session = start_plugin_session(emulator);
    if (!session)
        return 1;

    // Memory: a small download first (warms up every path), then the large.
    const long rss_start = peak_rss_kib();
    if (time_plugin(*session, "/small.bin", small) < 0)
        return 1;
    const long rss_small = peak_rss_kib();

    double best_curl = 0, best_plugin = 0;
    long rss_before_big = peak_rss_kib();
    for (int round = 0; round < rounds; ++round) {
        double c = time_curl_download(emulator, "/big.bin", size);
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
    const long pieces_kib = static_cast<long>(orvel_i_dropbox_transfer_streams * (orvel_i_dropbox_piece_size >> 10));
    std::printf("peak RSS growth: 1 MiB download %ld KiB, %llu MiB downloads %ld KiB more (aim < %ld KiB: %d pieces "
                "in flight and 16 MiB)\n",
                rss_small - rss_start, static_cast<unsigned long long>(size_mib), rss_big - rss_before_big,
                pieces_kib + 16384, orvel_i_dropbox_transfer_streams);

    session.reset();
    host::Host::deactivate_module(&orvel_gridftp_server_dropbox_module);
    remove_tree(override_home());
    return 0;
}
