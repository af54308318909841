// Download throughput of the REST library into the host's data channel,
// measured side by side with the curl command-line tool fetching the same
// file from the same emulator.
//
//   bench_rest_download [SIZE_MIB] [ROUNDS]     (defaults: 1024 MiB, 2 rounds)
//
// Prints the best round of each, their ratio and the peak resident memory of
// this process (the library streams; it never holds the file).
#include "bench_support.hpp"
#include "emulator_fixture.hpp"
#include "orvel_dsi_rest.h"
#include "orvel_host.hpp"
#include "rest_test_helpers.hpp"
#include "transfer_runner.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

using namespace orvel::test;

namespace {

// Seconds the REST library took to move the file into a NullChannel.
double time_library(uint64_t size)
{
    auto channel = std::make_shared<orvel::host::NullChannel>();
    orvel_dsi_rest_gridftp_op_arg_t arg{};
    Response response;
    const auto start = std::chrono::steady_clock::now();
    orvel_result_t result = run_transfer(channel, TransferDirection::download, [&](orvel_gfs_operation_t op) {
        arg.op = op;
        arg.length = static_cast<orvel_off_t>(size);
        Callbacks callbacks;
        callbacks.record(response).idle(30000);
        return download_into_op("/big.bin", &arg, callbacks);
    });
    const double elapsed = seconds_since(start);
    if (result != ORVEL_SUCCESS || response.record.response_code != 200 || channel->bytes_written() != size) {
        std::fprintf(stderr, "library download failed: status %d, %llu of %llu bytes: %s\n",
                     response.record.response_code, static_cast<unsigned long long>(channel->bytes_written()),
                     static_cast<unsigned long long>(size), error_text(result).c_str());
        orvel_error_discard(result);
        return -1;
    }
    return elapsed;
}

} // namespace

int main(int argc, char **argv)
{
    const uint64_t size_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
    const uint64_t size = size_mib * 1024 * 1024;
    if (size == 0 || rounds < 1) {
        std::fprintf(stderr, "usage: %s [SIZE_MIB] [ROUNDS]\n", argv[0]);
        return 2;
    }
    if (orvel_module_activate(&orvel_i_dsi_rest_module) != 0) {
        std::fprintf(stderr, "cannot activate the REST library\n");
        return 1;
    }
    int rc = 0;
    {
        Emulator emulator;
        emulator.use_for_rest();
        emulator.put_sparse_file("/big.bin", size);

        // The emulator works out the file's metadata (its content hash) on the
        // first download; fetch one byte first so that no round pays for it.
        {
            KeyList headers{{"Dropbox-API-Arg", "{\"path\": \"/big.bin\"}"}, {"Range", "bytes=0-0"}};
            add_auth(headers);
            orvel_result_t primed = orvel_dsi_rest_request(
                "GET", (std::string(kContentBase) + "/2/files/download").c_str(), nullptr, headers.get(), nullptr);
            orvel_error_discard(primed);
        }

        double best_curl = 0;
        double best_library = 0;
        for (int round = 0; round < rounds; ++round) {
            const double c = time_curl_download(emulator, "/big.bin", size);
            const double l = time_library(size);
            if (c < 0 || l < 0) {
                rc = 1;
                break;
            }
            std::printf("round %d: curl %.2f s, library %.2f s\n", round + 1, c, l);
            best_curl = (round == 0 || c < best_curl) ? c : best_curl;
            best_library = (round == 0 || l < best_library) ? l : best_library;
        }
        if (rc == 0) {
            const double mb = static_cast<double>(size) / 1e6;
            struct rusage usage {};
            getrusage(RUSAGE_SELF, &usage);
            std::printf("file: %llu MiB, best of %d rounds\n", static_cast<unsigned long long>(size_mib), rounds);
            std::printf("curl:    %8.1f MB/s\n", mb / best_curl);
            std::printf("library: %8.1f MB/s (into the data channel)\n", mb / best_library);
            std::printf("library/curl throughput ratio: %.2f\n", best_curl / best_library);
            std::printf("peak RSS of this process: %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
        }
    }
    orvel_module_deactivate(&orvel_i_dsi_rest_module);
    return rc;
}
