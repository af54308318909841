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
        "  --users FILE             users file: user:HASH[:CREDS[:POLICY]] (crypt(3) hashes)\n"
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
        "  --max-per-address N      concurrent sessions from one client address (default 16)\n"
        "  --login-timeout SECONDS  close connections not logged in by then (default 30)\n"
        "  --tls-certificate FILE   server certificate chain (PEM); enables AUTH TLS\n"
        "  --tls-key FILE           private key (PEM; default: in the certificate file)\n"
        "  --tls-ca FILE            CA bundle for client certificates (asks clients for one)\n"
        "  --tls-crl PATH           CRL file or hashed CRL folder checked for client certificates\n"
        "  --tls-ciphers LIST       OpenSSL cipher list for TLS 1.2\n"
        "  --tls-min-version V      1.2 (default) or 1.3\n"
        "  --implicit-tls-port N    also listen for implicit TLS on port N (0 = ephemeral)\n"
        "  --data-tls-resume R      required (default) or optional: PROT P data connections\n"
        "                           must resume the control connection's TLS session\n"
        "  --allow-clear-text BOOL  logins without TLS (default: yes on loopback only)\n"
        "  --cert-map FILE          certificate logins: lines \"SUBJECT\" user[,user...]\n"
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
    } else if (key == "max-per-address") {
        return int_setting(1, 100000, &s->max_per_address);
    } else if (key == "login-timeout") {
        return int_setting(1, 86400, &s->login_timeout);
    } else if (key == "tls-certificate") {
        s->tls_certificate = value;
    } else if (key == "tls-key") {
        s->tls_key = value;
    } else if (key == "tls-ca") {
        s->tls_ca = value;
    } else if (key == "tls-crl") {
        s->tls_crl = value;
    } else if (key == "tls-ciphers") {
        s->tls_ciphers = value;
    } else if (key == "tls-min-version") {
        if (value == "1.2")
            s->tls_min_version = 0x0303;
        else if (value == "1.3")
            s->tls_min_version = 0x0304;
        else
            return "invalid value \"" + value + "\" for tls-min-version (1.2 or 1.3)";
    } else if (key == "implicit-tls-port") {
        return int_setting(0, 65535, &s->implicit_tls_port);
    } else if (key == "data-tls-resume") {
        if (value != "required" && value != "optional")
            return "invalid value \"" + value + "\" for data-tls-resume (required or optional)";
        s->data_tls_resume_required = value == "required";
    } else if (key == "allow-clear-text") {
        bool allow = false;
        if (!parse_bool(value, &allow))
            return "invalid value \"" + value + "\" for allow-clear-text (yes or no)";
        s->allow_clear_text = allow ? 1 : 0;
    } else if (key == "cert-map") {
        s->cert_map = value;
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
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
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

bool clear_text_logins_allowed(const Settings &settings)
{
    if (settings.allow_clear_text >= 0)
        return settings.allow_clear_text == 1;
    return is_loopback_address(settings.listen_address);
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
    if (!is_loopback_address(s.listen_address) && s.tls_certificate.empty() && s.allow_clear_text != 1) {
        std::fprintf(stderr,
                     "%s: refusing to listen on %s without TLS: passwords and data would cross the network in "
                     "clear text; give --tls-certificate (and --tls-key), or --allow-clear-text yes\n",
                     kProgram, s.listen_address.c_str());
        return false;
    }
    if ((s.implicit_tls_port >= 0 || !s.tls_ca.empty() || !s.tls_key.empty() || !s.cert_map.empty()) &&
        s.tls_certificate.empty()) {
        std::fprintf(stderr, "%s: the TLS settings need a server certificate (--tls-certificate)\n", kProgram);
        return false;
    }
    if (!s.cert_map.empty() && s.tls_ca.empty()) {
        std::fprintf(stderr, "%s: certificate logins (--cert-map) need a CA bundle (--tls-ca)\n", kProgram);
        return false;
    }
    if (s.users_file.empty() && !s.allow_anonymous && s.cert_map.empty()) {
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
    for (const std::string *f : {&s.tls_certificate, &s.tls_key, &s.tls_ca, &s.tls_crl, &s.cert_map})
        if (!f->empty() && !readable(*f))
            return false;
    if (!s.log_file.empty() && !writable(s.log_file))
        return false;
    return true;
}

} // namespace orvel::server
