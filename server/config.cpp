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
#include <unistd.h>

namespace orvel::server {

namespace {

const char *const kProgram = "orvel-gridftp-server";

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

// Where a setting's value goes and how its text is read.
struct SettingValue {
    enum class Kind { text, number, yes_no, other } kind;
    std::string Settings::*text = nullptr; // Kind::text: taken as it is
    int Settings::*number = nullptr;       // Kind::number: a decimal in [low, high]
    long low = 0, high = 0;
    bool Settings::*yes_no = nullptr; // Kind::yes_no: yes/no, true/false, 1/0, on/off
    // Kind::other: reads the value itself; returns the error text, "" on success.
    std::string (*read)(Settings *s, const std::string &key, const std::string &value) = nullptr;
};

constexpr SettingValue text(std::string Settings::*field)
{
    return {SettingValue::Kind::text, field};
}

constexpr SettingValue number(int Settings::*field, long low, long high)
{
    return {SettingValue::Kind::number, nullptr, field, low, high};
}

constexpr SettingValue yes_no(bool Settings::*field)
{
    return {SettingValue::Kind::yes_no, nullptr, nullptr, 0, 0, field};
}

constexpr SettingValue other(std::string (*read)(Settings *, const std::string &, const std::string &))
{
    return {SettingValue::Kind::other, nullptr, nullptr, 0, 0, nullptr, read};
}

const unsigned kCommandLineOnly = 1; // not taken from a configuration file

// One setting: its name, what its value is, how the usage text shows it.
struct SettingSpec {
    const char *name;       // "--name" on the command line, "name = value" in a file
    const char *value_name; // the value in the usage text; nullptr for a flag, which alone means "yes"
    const char *help;       // the usage text; a '\n' continues it on the next line
    SettingValue value;
    unsigned flags = 0;
};

std::string invalid_value(const std::string &key, const std::string &value, const char *expected)
{
    return "invalid value \"" + value + "\" for " + key + (expected ? std::string(" (") + expected + ")" : "");
}

std::string read_passive_ports(Settings *s, const std::string &, const std::string &value)
{
    size_t dash = value.find('-');
    int low = 0, high = 0;
    if (dash == std::string::npos || !parse_int(value.substr(0, dash), 0, 65535, &low) ||
        !parse_int(value.substr(dash + 1), 0, 65535, &high) || low > high || (low == 0) != (high == 0))
        return "invalid passive port range \"" + value + "\" (expected LOW-HIGH)";
    s->passive_low = low;
    s->passive_high = high;
    return "";
}

std::string read_passive_address(Settings *s, const std::string &, const std::string &value)
{
    // PASV can only announce a dotted IPv4 address.
    in_addr v4{};
    if (!value.empty() && inet_pton(AF_INET, value.c_str(), &v4) != 1)
        return "invalid passive address \"" + value + "\" (expected an IPv4 address)";
    s->passive_address = value;
    return "";
}

std::string read_tls_min_version(Settings *s, const std::string &key, const std::string &value)
{
    if (value == "1.2")
        s->tls_min_version = 0x0303;
    else if (value == "1.3")
        s->tls_min_version = 0x0304;
    else
        return invalid_value(key, value, "1.2 or 1.3");
    return "";
}

std::string read_data_tls_resume(Settings *s, const std::string &key, const std::string &value)
{
    if (value != "required" && value != "optional")
        return invalid_value(key, value, "required or optional");
    s->data_tls_resume_required = value == "required";
    return "";
}

std::string read_allow_clear_text(Settings *s, const std::string &key, const std::string &value)
{
    bool allow = false;
    if (!parse_bool(value, &allow))
        return invalid_value(key, value, "yes or no");
    s->allow_clear_text = allow ? 1 : 0;
    return "";
}

// Every setting, in the order the usage text lists them.
const SettingSpec kSettings[] = {
    {"config", "FILE", "read settings from FILE (key = value lines)", text(&Settings::config_file), kCommandLineOnly},
    {"listen", "ADDR", "control-channel address (default 127.0.0.1)", text(&Settings::listen_address)},
    {"port", "N", "control-channel port, 0 = ephemeral (default 2121)", number(&Settings::port, 0, 65535)},
    {"port-file", "FILE", "write the bound port to FILE", text(&Settings::port_file)},
    {"passive-ports", "LOW-HIGH", "passive data ports (default: ephemeral)", other(read_passive_ports)},
    {"passive-address", "ADDR", "address announced by PASV (default: the control socket's)",
     other(read_passive_address)},
    {"users", "FILE", "users file: user:HASH[:CREDS[:POLICY]] (crypt(3) hashes)", text(&Settings::users_file)},
    {"creds", "FILE", "default credential document (\"%u\" = user name)", text(&Settings::creds_file)},
    {"policy", "FILE", "default storage policy document (\"%u\" = user name)", text(&Settings::policy_file)},
    {"allow-anonymous", nullptr, "accept USER anonymous (loopback only)", yes_no(&Settings::allow_anonymous)},
    {"plugin", "PATH", "storage plug-in library", text(&Settings::plugin_path)},
    {"dsi", "NAME", "storage interface to select (default dropbox)", text(&Settings::dsi_name)},
    {"log", "FILE", "log destination (default standard error)", text(&Settings::log_file)},
    {"idle-timeout", "SECONDS", "close silent control connections (default 900)",
     number(&Settings::idle_timeout, 1, 86400)},
    {"data-timeout", "SECONDS", "wait for data connections and data (default 30)",
     number(&Settings::data_timeout, 1, 86400)},
    {"cksm-interval", "SECONDS", "CKSM progress reply interval, 0 = none (default 10)",
     number(&Settings::cksm_interval, 0, 86400)},
    {"login-delay-ms", "MS", "pause after a wrong password (default 1000)",
     number(&Settings::login_delay_ms, 0, 60000)},
    {"max-login-failures", "N", "wrong passwords before disconnecting (default 3)",
     number(&Settings::max_login_failures, 1, 1000)},
    {"max-sessions", "N", "concurrent sessions (default 64)", number(&Settings::max_sessions, 1, 100000)},
    {"max-per-address", "N", "concurrent sessions from one client address (default 16)",
     number(&Settings::max_per_address, 1, 100000)},
    {"login-timeout", "SECONDS", "close connections not logged in by then (default 30)",
     number(&Settings::login_timeout, 1, 86400)},
    {"tls-certificate", "FILE", "server certificate chain (PEM); enables AUTH TLS", text(&Settings::tls_certificate)},
    {"tls-key", "FILE", "private key (PEM; default: in the certificate file)", text(&Settings::tls_key)},
    {"tls-ca", "FILE", "CA bundle for client certificates (asks clients for one)", text(&Settings::tls_ca)},
    {"tls-crl", "PATH", "CRL file or hashed CRL folder checked for client certificates", text(&Settings::tls_crl)},
    {"tls-ciphers", "LIST", "OpenSSL cipher list for TLS 1.2", text(&Settings::tls_ciphers)},
    {"tls-min-version", "V", "1.2 (default) or 1.3", other(read_tls_min_version)},
    {"implicit-tls-port", "N", "also listen for implicit TLS on port N (0 = ephemeral)",
     number(&Settings::implicit_tls_port, 0, 65535)},
    {"data-tls-resume", "R",
     "required (default) or optional: PROT P data connections\nmust resume the control connection's TLS session",
     other(read_data_tls_resume)},
    {"allow-clear-text", "BOOL", "logins without TLS (default: yes on loopback only)", other(read_allow_clear_text)},
    {"cert-map", "FILE", "certificate logins: lines \"SUBJECT\" user[,user...]", text(&Settings::cert_map)},
};

const SettingSpec *find_setting(const std::string &key)
{
    for (const SettingSpec &setting : kSettings)
        if (key == setting.name)
            return &setting;
    return nullptr;
}

// "  --name VALUE  help", the help in a column of its own.
void print_option(FILE *out, const std::string &option, const char *help)
{
    std::string text;
    for (const char *c = help; *c; ++c)
        text += *c == '\n' ? "\n" + std::string(27, ' ') : std::string(1, *c);
    std::fprintf(out, "  %-24s %s\n", option.c_str(), text.c_str());
}

void print_usage(FILE *out)
{
    std::fprintf(out,
                 "Usage: %s [options]\n"
                 "       %s --hash-password USER   (reads the password from standard input)\n"
                 "\n",
                 kProgram, kProgram);
    for (const SettingSpec &setting : kSettings)
        print_option(
            out, std::string("--") + setting.name + (setting.value_name ? std::string(" ") + setting.value_name : ""),
            setting.help);
    print_option(out, "--help", "this text");
}

// Applies one setting from the command line or, when `from_file`, from a
// configuration file; returns an error text, "" on success.
std::string apply(Settings *s, const std::string &key, const std::string &value, bool from_file)
{
    const SettingSpec *setting = find_setting(key);
    if (setting == nullptr || (from_file && (setting->flags & kCommandLineOnly)))
        return "unknown setting \"" + key + "\"";
    const SettingValue &v = setting->value;
    switch (v.kind) {
    case SettingValue::Kind::text:
        s->*v.text = value;
        return "";
    case SettingValue::Kind::number:
        return parse_int(value, v.low, v.high, &(s->*v.number)) ? "" : invalid_value(key, value, nullptr);
    case SettingValue::Kind::yes_no:
        return parse_bool(value, &(s->*v.yes_no)) ? "" : invalid_value(key, value, "yes or no");
    case SettingValue::Kind::other:
        return v.read(s, key, value);
    }
    return "";
}

// A flag stands alone for "yes".
bool is_flag(const std::string &key)
{
    const SettingSpec *setting = find_setting(key);
    return setting != nullptr && setting->value_name == nullptr;
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
        const SettingSpec *setting = find_setting(key);
        if (key == "hash-password")
            *hash_user = value;
        else if (setting != nullptr && (setting->flags & kCommandLineOnly))
            apply(settings, key, value, false); // --config: read before the other settings
        else
            options.emplace_back(key, value);
    }

    const std::string &config_file = settings->config_file;
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
            std::string err = apply(settings, key, value, true);
            if (!err.empty()) {
                std::fprintf(stderr, "%s: %s:%d: %s\n", kProgram, config_file.c_str(), lineno, err.c_str());
                return ParseResult::exit_usage;
            }
        }
    }
    for (const auto &[key, value] : options) {
        std::string err = apply(settings, key, value, false);
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
        std::fprintf(stderr, "%s: anonymous access is only allowed on a loopback address, not on %s\n", kProgram,
                     s.listen_address.c_str());
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
