// The documents a session starts from: the credential ("creds") and the
// storage policy ("config"), given to the plug-in's session start through the
// host. Input: the credential, a NUL byte, the policy (none without the NUL).
// The state files go to a home folder of this program's own, emptied after
// every session, so that account ids from the credential name real files.
#include "fuzz_support.hpp"
#include "home_override.hpp"
#include "orvel_dropbox_common.h"
#include "orvel_host.hpp"

#include <cstdlib>
#include <filesystem>

namespace {

const std::string &prepare()
{
    static const std::string home = [] {
        char pattern[] = "/tmp/orvel-fuzz-home-XXXXXX";
        const char *made = mkdtemp(pattern);
        return std::string(made != nullptr ? made : "/nonexistent");
    }();
    orvel::test::override_home() = home;
    orvel_i_dropbox_syscalls.getpwuid_r = orvel::test::home_getpwuid_r;
    orvel::host::Host::activate_module(&orvel_gridftp_server_dropbox_module);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    });
    return home;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string &home = prepare();
    std::vector<std::string> pieces = orvel::fuzz::split(data, size, 2);
    std::map<std::string, std::string> texts{{"creds", pieces[0]}};
    if (pieces.size() > 1)
        texts["config"] = pieces[1];
    {
        orvel::host::Outcome outcome;
        auto session = orvel::host::Host::start_session("dropbox", "fuzz", orvel::host::fixed_config(texts), &outcome);
        if ((session != nullptr) == (outcome.result != ORVEL_SUCCESS) || outcome.finish_calls != 1)
            __builtin_trap(); // exactly one answer, and a session only on success
    }
    std::error_code ignored;
    std::filesystem::remove_all(home + "/.orvel", ignored);
    return 0;
}
