// Command-line options and the configuration file of the FTP front-end.
#include "config.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <unistd.h>

namespace orvel::server {

namespace {

const char *const kProgram = "orvel-gridftp-server";

void print_usage(FILE *out)
{
    std::fprintf(out,
        "Usage: %s [options]\n"
        "       %s --hash-password USER   (reads the password from standard input)\n"
        "\n"
        "  --config FILE            read settings from FILE (key = value lines)\n"
        "  --listen ADDR            control-channel address (default 127.0.0.1)\n"
        "  --port N                 control-channel port, 0 = ephemeral (default 2121)\n"
        "  --port-file FILE         write the bound port to FILE\n"
        "  --passive-ports LOW-HIGH passive data ports (default: ephemeral)\n"
        "  --passive-address ADDR   address announced by PASV (default: the control socket's)\n"
        "  --users FILE             users file: user:sha256:SALT:HEX[:CREDS[:POLICY]]\n"
        "  --creds FILE             default credential document (\"%%u\" = user name)\n"
        "  --policy FILE            default storage policy document (\"%%u\" = user name)\n"
        "  --allow-anonymous        accept USER anonymous (loopback only)\n"
        "  --plugin PATH            storage plug-in library\n"
        "  --dsi NAME               storage interface to select (default dropbox)\n"
        "  --log FILE               log destination (default standard error)\n"
        "  --idle-timeout SECONDS   close silent control connections (default 900)\n"
        "  --data-timeout SECONDS   wait for data connections and data (default 30)\n"
        "  --cksm-interval SECONDS  CKSM progress reply interval, 0 = none (default 10)\n"
        "  --login-delay-ms MS      pause after a wrong password (default 1000)\n"
        "  --max-login-failures N   wrong passwords before disconnecting (default 3)\n"
        "  --max-sessions N         concurrent sessions (default 64)\n"
        "  --help                   this text\n",
        kProgram, kProgram);
}

bool parse_int(const std::string &text, long low, long high, int *out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high)
        return false;
    *out = static_cast<int>(value);
    return true;
}

bool parse_bool(const std::string &text, bool *out)
{
    if (text == "yes" || text == "true" || text == "1" || text == "on") {
        *out = true;
        return true;
    }
    if (text == "no" || text == "false" || text == "0" || text == "off") {
        *out = false;
        return true;
    }
    return false;
}

std::string trim(const std::string &text)
{
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

// Applies one setting; returns an error text, "" on success.
std::string apply(Settings *s, const std::string &key, const std::string &value)
{
    auto int_setting = [&](long low, long high, int *out) -> std::string {
        if (!parse_int(value, low, high, out))
            return "invalid value \"" + value + "\" for " + key;
        return "";
    };
    if (key == "listen") {
        s->listen_address = value;
    } else if (key == "port") {
        return int_setting(0, 65535, &s->port);
    } else if (key == "port-file") {
        s->port_file = value;
    } else if (key == "passive-ports") {
        size_t dash = value.find('-');
        int low = 0, high = 0;
        if (dash == std::string::npos || !parse_int(value.substr(0, dash), 0, 65535, &low) ||
            !parse_int(value.substr(dash + 1), 0, 65535, &high) || low > high || (low == 0) != (high == 0))
            return "invalid passive port range \"" + value + "\" (expected LOW-HIGH)";
        s->passive_low = low;
        s->passive_high = high;
    } else if (key == "passive-address") {
        // PASV can only announce a dotted IPv4 address.
        in_addr v4{};
        if (!value.empty() && inet_pton(AF_INET, value.c_str(), &v4) != 1)
            return "invalid passive address \"" + value + "\" (expected an IPv4 address)";
        s->passive_address = value;
    } else if (key == "users") {
        s->users_file = value;
    } else if (key == "creds") {
        s->creds_file = value;
    } else if (key == "policy") {
        s->policy_file = value;
    } else if (key == "allow-anonymous") {
        if (!parse_bool(value, &s->allow_anonymous))
            return "invalid value \"" + value + "\" for allow-anonymous (yes or no)";
    } else if (key == "plugin") {
        s->plugin_path = value;
    } else if (key == "dsi") {
        s->dsi_name = value;
    } else if (key == "log") {
        s->log_file = value;
    } else if (key == "idle-timeout") {
        return int_setting(1, 86400, &s->idle_timeout);
    } else if (key == "data-timeout") {
        return int_setting(1, 86400, &s->data_timeout);
    } else if (key == "cksm-interval") {
        return int_setting(0, 86400, &s->cksm_interval);
    } else if (key == "login-delay-ms") {
        return int_setting(0, 60000, &s->login_delay_ms);
    } else if (key == "max-login-failures") {
        return int_setting(1, 1000, &s->max_login_failures);
    } else if (key == "max-sessions") {
        return int_setting(1, 100000, &s->max_sessions);
    } else {
        return "unknown setting \"" + key + "\"";
    }
    return "";
}

bool is_flag(const std::string &key)
{
    return key == "allow-anonymous";
}

bool readable(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "%s: %s: %s\n", kProgram, path.c_str(), std::strerror(errno));
        return false;
    }
    ::close(fd);
    return true;
}

bool writable(const std::string &path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "%s: %s: %s\n", kProgram, path.c_str(), std::strerror(errno));
        return false;
    }
    ::close(fd);
    return true;
}

} // namespace

std::string default_plugin_path()
{
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "liborvel_gridftp_server_dropbox.so";
    buf[n] = '\0';
    std::string exe(buf);
    std::string dir = exe.substr(0, exe.rfind('/'));
    return dir + "/../src/liborvel_gridftp_server_dropbox.so";
}

std::string expand_user(const std::string &tmpl, const std::string &user)
{
    std::string out;
    for (size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] == '%' && i + 1 < tmpl.size() && tmpl[i + 1] == 'u') {
            out += user;
            ++i;
        } else {
            out += tmpl[i];
        }
    }
    return out;
}

bool is_loopback_address(const std::string &address)
{
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return address == "localhost";
}

ParseResult parse_settings(int argc, char **argv, Settings *settings, std::string *hash_user)
{
    // Pass 1: split "--key value" / "--key=value" pairs and find --config.
    std::vector<std::pair<std::string, std::string>> options;
    std::string config_file;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            print_usage(stdout);
            return ParseResult::exit_ok;
        }
        if (arg.rfind("--", 0) != 0) {
            std::fprintf(stderr, "%s: unexpected argument \"%s\"\n", kProgram, arg.c_str());
            print_usage(stderr);
            return ParseResult::exit_usage;
        }
        std::string key = arg.substr(2), value;
        size_t eq = key.find('=');
        if (eq != std::string::npos) {
            value = key.substr(eq + 1);
            key = key.substr(0, eq);
        } else if (is_flag(key)) {
            value = "yes";
        } else {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: option --%s needs a value\n", kProgram, key.c_str());
                return ParseResult::exit_usage;
            }
            value = argv[++i];
        }
        if (key == "config")
            config_file = value;
        else if (key == "hash-password")
            *hash_user = value;
        else
            options.emplace_back(key, value);
    }

    if (!config_file.empty()) {
        std::ifstream in(config_file);
        if (!in) {
            std::fprintf(stderr, "%s: %s: %s\n", kProgram, config_file.c_str(), std::strerror(errno));
            return ParseResult::exit_file;
        }
        std::string line;
        int lineno = 0;
        while (std::getline(in, line)) {
            ++lineno;
            std::string t = trim(line);
            if (t.empty() || t[0] == '#')
                continue;
            size_t eq = t.find('=');
            std::string key = trim(eq == std::string::npos ? t : t.substr(0, eq));
            std::string value = eq == std::string::npos ? (is_flag(key) ? "yes" : "") : trim(t.substr(eq + 1));
            std::string err = apply(settings, key, value);
            if (!err.empty()) {
                std::fprintf(stderr, "%s: %s:%d: %s\n", kProgram, config_file.c_str(), lineno, err.c_str());
                return ParseResult::exit_usage;
            }
        }
    }
    for (const auto &[key, value] : options) {
        std::string err = apply(settings, key, value);
        if (!err.empty()) {
            std::fprintf(stderr, "%s: %s\n", kProgram, err.c_str());
            return ParseResult::exit_usage;
        }
    }
    if (settings->plugin_path.empty())
        settings->plugin_path = default_plugin_path();
    return ParseResult::run;
}

bool validate_settings(const Settings &s)
{
    if (s.allow_anonymous && !is_loopback_address(s.listen_address)) {
        std::fprintf(stderr, "%s: anonymous access is only allowed on a loopback address, not on %s\n",
                     kProgram, s.listen_address.c_str());
        return false;
    }
    if (s.users_file.empty() && !s.allow_anonymous) {
        std::fprintf(stderr, "%s: no users file given (--users FILE); nobody could log in\n", kProgram);
        return false;
    }
    if (!s.users_file.empty() && !readable(s.users_file))
        return false;
    if (!readable(s.plugin_path))
        return false;
    // Templates with "%u" are checked per user at login.
    if (!s.creds_file.empty() && s.creds_file.find("%u") == std::string::npos && !readable(s.creds_file))
        return false;
    if (!s.policy_file.empty() && s.policy_file.find("%u") == std::string::npos && !readable(s.policy_file))
        return false;
    if (!s.log_file.empty() && !writable(s.log_file))
        return false;
    return true;
}

} // namespace orvel::server
