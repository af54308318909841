// The files the server reads at every login: the input read both as a users
// file and as a certificate map, and looked up as the login would. Password
// hashes are not computed (a hash's cost is the file's to choose).
#include "cert_map.hpp"
#include "fuzz_support.hpp"
#include "users.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    orvel::fuzz::MemoryFile file(std::string(reinterpret_cast<const char *>(data), size));
    std::string error;
    std::vector<orvel::server::UserEntry> users;
    if (orvel::server::load_users(file.path(), &users, &error) && !users.empty())
        (void)orvel::server::find_user(users, users.back().name);
    std::vector<orvel::server::CertMapEntry> map;
    if (orvel::server::load_cert_map(file.path(), &map, &error) && !map.empty())
        (void)orvel::server::users_for_subject(map, map.back().subject);
    return 0;
}
