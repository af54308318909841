// The server's settings: a configuration file and command-line arguments.
// Input: the file, then the arguments, each ended by a NUL byte. Arguments
// that name another configuration file are left out, so that only the input
// is read; the settings are parsed, not checked against the file system.
#include "config.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> pieces = orvel::fuzz::split(data, size, 32);
    orvel::fuzz::MemoryFile file(pieces[0]);
    std::vector<std::string> args{"orvel-gridftp-server", "--config=" + file.path()};
    for (size_t i = 1; i < pieces.size(); ++i)
        if (pieces[i].find("config") == std::string::npos)
            args.push_back(pieces[i]);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    orvel::server::Settings settings;
    std::string hash_user;
    if (orvel::server::parse_settings(static_cast<int>(args.size()), argv.data(), &settings, &hash_user) ==
        orvel::server::ParseResult::run) {
        (void)orvel::server::clear_text_logins_allowed(settings);
        (void)orvel::server::expand_user(settings.creds_file, "fuzz");
    }
    return 0;
}
