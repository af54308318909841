// Settings of the FTP front-end: command-line options and the optional
// configuration file (one "key = value" per line, the keys being the long
// option names without their leading dashes).
#pragma once

#include <string>
#include <vector>

namespace orvel::server {

struct Settings {
    std::string config_file;                  // the configuration file read first (command line only)
    std::string listen_address = "127.0.0.1"; // control-channel address
    int port = 2121;                          // control-channel port, 0 = ephemeral
    std::string port_file;                    // where the bound port is written, "" = nowhere
    int passive_low = 0, passive_high = 0;    // passive port range, 0-0 = ephemeral
    std::string passive_address;              // address announced by PASV, "" = the control socket's
    std::string users_file;                   // lines user:HASH[:CREDS[:POLICY]]
    std::string creds_file;                   // default credential document; "%u" = user name
    std::string policy_file;                  // default storage policy document; "%u" = user name
    bool allow_anonymous = false;             // USER anonymous/ftp accepted with any password
    std::string plugin_path;                  // the storage plug-in library
    std::string dsi_name = "dropbox";         // storage interface to select
    std::string log_file;                     // "" = standard error
    int idle_timeout = 900;                   // seconds a control connection may stay silent
    int data_timeout = 30;                    // seconds to wait for a data connection / data
    int cksm_interval = 10;                   // seconds between CKSM progress replies, 0 = none
    int login_delay_ms = 1000;                // pause after a wrong password
    int max_login_failures = 3;               // wrong passwords before the connection is closed
    int max_sessions = 64;                    // concurrent client sessions
    int max_per_address = 16;                 // concurrent sessions from one client address
    int login_timeout = 30;                   // seconds from connecting to a completed login

    // TLS (control and data channels).
    std::string tls_certificate;          // PEM chain, server certificate first; "" = no TLS
    std::string tls_key;                  // PEM private key, "" = in tls_certificate
    std::string tls_ca;                   // CA bundle verifying client certificates, "" = none asked
    std::string tls_crl;                  // CRL file or hashed folder, "" = no revocation check
    std::string tls_ciphers;              // OpenSSL cipher list for TLS 1.2, "" = library default
    int tls_min_version = 0x0303;         // protocol floor: TLS 1.2 (0x0303) or 1.3 (0x0304)
    int implicit_tls_port = -1;           // port of the implicit-TLS listener, -1 = none, 0 = ephemeral
    bool data_tls_resume_required = true; // PROT P data connections must resume the control session
    int allow_clear_text = -1;            // logins without TLS: 1 yes, 0 no, -1 = only on loopback
    std::string cert_map;                 // lines "SUBJECT" user[,user...]; "" = no certificate logins
};

// True when a login on a connection without TLS is allowed: explicitly, or
// by default when the server listens on a loopback address only.
bool clear_text_logins_allowed(const Settings &settings);

// Outcome of reading the command line.
enum class ParseResult { run, exit_ok, exit_usage, exit_file };

// Fills `settings` from argv (and the file named by --config, read first so
// that the command line overrides it). Prints errors and help itself.
// Sets *hash_user when --hash-password USER was given.
ParseResult parse_settings(int argc, char **argv, Settings *settings, std::string *hash_user);

// Checks that every file the settings name can be read (or, for the log and
// port files, written), that anonymous access is only enabled on loopback,
// and that a non-loopback address has TLS or an explicit clear-text setting.
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
