// Helpers of the benchmarks: wall-clock and CPU time, peak resident memory,
// the curl command-line tool downloading a file from the emulator as the
// reference the plug-in and the REST library are compared with, and a
// plug-in session against the emulator.
#pragma once

#include "emulator_fixture.hpp"
#include "orvel_host.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace orvel::test {

// Seconds since `start`.
double seconds_since(std::chrono::steady_clock::time_point start);

// User and system CPU seconds of this process (RUSAGE_SELF) or of its
// waited-for children (RUSAGE_CHILDREN).
double cpu_seconds(int who = RUSAGE_SELF);

// Peak resident memory of this process so far, in KiB.
long peak_rss_kib();

// Seconds the curl tool took to download `path` from the emulator's content
// endpoint, or a negative value (after saying why on stderr) when it failed
// or did not receive `size` bytes.
double time_curl_download(const Emulator &emulator, const std::string &path, uint64_t size);

// A plug-in session of the emulator's user "ann" with its credential (the
// plug-in must be active), or null after saying why on stderr.
std::unique_ptr<host::Session> start_plugin_session(const Emulator &emulator);

} // namespace orvel::test
