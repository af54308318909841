// Settings of the FTP front-end: command-line options and the optional
// configuration file (one "key = value" per line, the keys being the long
// option names without their leading dashes).
#pragma once

#include <string>
#include <vector>

namespace orvel::server {

struct Settings {
    std::string listen_address = "127.0.0.1"; // control-channel address
    int port = 2121;                           // control-channel port, 0 = ephemeral
    std::string port_file;                     // where the bound port is written, "" = nowhere
    int passive_low = 0, passive_high = 0;     // passive port range, 0-0 = ephemeral
    std::string passive_address;               // address announced by PASV, "" = the control socket's
    std::string users_file;                    // lines user:sha256:SALT:HEX[:CREDS[:POLICY]]
    std::string creds_file;                    // default credential document; "%u" = user name
    std::string policy_file;                   // default storage policy document; "%u" = user name
    bool allow_anonymous = false;              // USER anonymous/ftp accepted with any password
    std::string plugin_path;                   // the storage plug-in library
    std::string dsi_name = "dropbox";          // storage interface to select
    std::string log_file;                      // "" = standard error
    int idle_timeout = 900;                    // seconds a control connection may stay silent
    int data_timeout = 30;                     // seconds to wait for a data connection / data
    int cksm_interval = 10;                    // seconds between CKSM progress replies, 0 = none
    int login_delay_ms = 1000;                 // pause after a wrong password
    int max_login_failures = 3;                // wrong passwords before the connection is closed
    int max_sessions = 64;                     // concurrent client sessions
};

// Outcome of reading the command line.
enum class ParseResult { run, exit_ok, exit_usage, exit_file };

// Fills `settings` from argv (and the file named by --config, read first so
// that the command line overrides it). Prints errors and help itself.
// Sets *hash_user when --hash-password USER was given.
ParseResult parse_settings(int argc, char **argv, Settings *settings, std::string *hash_user);

// Checks that every file the settings name can be read (or, for the log and
// port files, written) and that anonymous access is only enabled on loopback.
// Prints "orvel-gridftp-server: PATH: strerror" and returns false on failure.
bool validate_settings(const Settings &settings);

// The default plug-in path: beside the build tree of this program
// (<dir of executable>/../src/liborvel_gridftp_server_dropbox.so).
std::string default_plugin_path();

// Expands "%u" in a per-user file template.
std::string expand_user(const std::string &tmpl, const std::string &user);

// True for 127.0.0.0/8 and ::1.
bool is_loopback_address(const std::string &address);

} // namespace orvel::server
