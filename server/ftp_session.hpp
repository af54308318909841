// One client's FTP session: the control channel, its command parser and the
// commands, driving one storage session of the host library. Each session
// runs in its own process; the host operations of a session are called one
// at a time from here.
#pragma once

#include "config.hpp"
#include "control_channel.hpp"
#include "data_connection.hpp"
#include "orvel_host.hpp"
#include "tls.hpp"

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace orvel::server {

// Makes `arg` absolute against `cwd` and normalises it: "/" separated, no
// empty, "." or ".." components (".." stops at the root), no trailing "/".
std::string normalize_path(const std::string &cwd, const std::string &arg);

// Turns an error text (such as the host's rendering of an error) into a
// well-formed reply block: every line ends with CRLF, all but the last carry
// "CODE-", the last "CODE ". The code is `force_code` when that is an error
// code (400-599), else the code the text starts with when it is one, else
// 451.
std::string format_reply_block(const std::string &text, int force_code);

// What a session process gets from the parent besides the client's socket.
struct SessionSetup {
    const TlsContext *tls = nullptr; // null = no TLS configured
    bool implicit_tls = false;       // the client came to the implicit-TLS port
    int throttle_fd = -1;            // socket to the parent's login throttle, -1 = none
};

class FtpSession {
public:
    FtpSession(const Settings &settings, int control_fd, const SessionSetup &setup = {});
    ~FtpSession();
    FtpSession(const FtpSession &) = delete;
    FtpSession &operator=(const FtpSession &) = delete;
    // Serves the client until QUIT, disconnect, idle timeout, the login
    // deadline or too many failed logins.
    void run();

private:
    enum class ListKind { list, nlst, mlsd };

    // One FTP command as the dispatcher, HELP and FEAT know it
    // (command_table.cpp).
    struct Command {
        const char *name;                                // the verb, upper case
        void (FtpSession::*run)(const std::string &arg); // what it does
        unsigned flags;                                  // kCommand... bits
        const char *feature;                             // its FEAT line, nullptr = none
    };
    static constexpr unsigned kCommandBeforeLogin = 1;    // allowed before the login
    static constexpr unsigned kCommandHidden = 2;         // not listed by HELP (aliases, refusals)
    static constexpr unsigned kCommandFeatureWithTls = 4; // FEAT lists it only when TLS is configured
    static std::span<const Command> commands();
    static std::span<const Command> site_commands(); // SITE's own subcommands
    // The command named `verb` in `table`, or null.
    static const Command *find_command(std::span<const Command> table, const std::string &verb);
    // The names HELP lists, wrapped into lines that start with a space.
    static std::vector<std::string> help_lines(std::span<const Command> table);

    // Control channel (control.cpp).
    bool read_line(std::string *line); // false on disconnect, idle timeout or the login deadline
    bool take_buffered_line(std::string *line);
    void reply(int code, const std::string &text);
    void reply_lines(int code, const std::vector<std::string> &lines); // multi-line
    void send_raw(const std::string &text);                            // lines end with CRLF
    void reply_error(const orvel::host::Outcome &outcome, const char *what);
    void dispatch(const std::string &verb, const std::string &arg); // command_table.cpp
    std::string resolve(const std::string &arg) const { return normalize_path(cwd_, arg); }

    // TLS (RFC 4217).
    void cmd_auth(const std::string &arg);
    void cmd_pbsz(const std::string &arg);
    void cmd_prot(const std::string &arg);
    void cmd_ccc(const std::string &arg);
    bool start_tls(); // the handshake; false when the connection must end
    int login_time_left_ms() const;

    // Login and session start.
    void cmd_user(const std::string &arg);
    void cmd_pass(const std::string &arg);
    // The user a verified client certificate logs in as for `requested`
    // ("" = none); *why says why not.
    std::string certificate_user(const std::string &requested, std::string *why);
    bool start_storage_session(const std::string &user, const std::string &creds, const std::string &policy);

    // Session-level commands (control.cpp; HELP, FEAT and SITE in command_table.cpp).
    void cmd_quit(const std::string &arg);
    void cmd_help(const std::string &arg);
    void cmd_feat(const std::string &arg);
    void cmd_syst(const std::string &arg);
    void cmd_noop(const std::string &arg);
    void cmd_opts(const std::string &arg);
    void cmd_type(const std::string &arg);
    void cmd_mode(const std::string &arg);
    void cmd_stru(const std::string &arg);
    void cmd_rest(const std::string &arg);
    void cmd_allo(const std::string &arg);
    void cmd_abor(const std::string &arg);
    void cmd_site(const std::string &arg);
    void cmd_site_help(const std::string &arg);

    // Namespace commands (control.cpp).
    void cmd_pwd(const std::string &arg);
    void cmd_cwd(const std::string &arg);
    void cmd_cdup(const std::string &arg);
    void cmd_size(const std::string &arg);
    void cmd_mdtm(const std::string &arg);
    void cmd_simple_command(orvel_gfs_command_type_t type, const char *name, const std::string &path,
                            const std::string &success);
    void cmd_mkd(const std::string &arg);
    void cmd_rnfr(const std::string &arg);
    void cmd_rnto(const std::string &arg);
    void cmd_site_rdel(const std::string &arg);
    void cmd_site_chmod(const std::string &arg);
    void cmd_cksm(const std::string &arg);

    // Data connections (control.cpp).
    void cmd_pasv(const std::string &arg);
    void cmd_epsv(const std::string &arg);
    void cmd_port(const std::string &arg);
    void cmd_eprt(const std::string &arg);
    void cmd_lprt(const std::string &arg);
    void open_passive(bool extended, const std::string &arg);
    void connect_active(bool extended, const std::string &arg);
    // Applies PROT to a new data connection.
    void protect(DataConnection &conn);
    // One stat of `path`; replies the error itself and returns false on failure.
    bool stat_one(const std::string &path, orvel::host::StatEntry *entry);

    // Deletes with their FTP meaning (delete_commands.cpp).
    void cmd_dele(const std::string &arg);
    void cmd_rmd(const std::string &arg);

    // Listings (listing_commands.cpp).
    void cmd_list(const std::string &arg);
    void cmd_nlst(const std::string &arg);
    void cmd_mlsd(const std::string &arg);
    void list(ListKind kind, const std::string &arg);
    void cmd_mlst(const std::string &arg);
    void cmd_stat(const std::string &arg);

    // Transfers (transfers.cpp).
    void cmd_retr(const std::string &arg);
    void cmd_eret(const std::string &arg);
    void cmd_stor(const std::string &arg);
    void cmd_appe(const std::string &arg);
    void cmd_stou(const std::string &arg);
    void cmd_esto(const std::string &arg);
    // The reply to a store at an offset, which the storage cannot do.
    void refuse_offset_store(const char *verb);
    void run_retrieve(const std::string &path, int64_t offset, int64_t length, const char *command);
    void finish_transfer(DataConnection &conn, const char *command, const std::string &path,
                         const orvel::host::Outcome &out, std::chrono::steady_clock::time_point start);
    // Takes the passive data connection for a transfer; replies 425 when none.
    std::shared_ptr<DataConnection> take_data_connection();
    // Sends the 150 reply and accepts the data connection.
    void open_data(DataConnection &conn, const std::string &what);
    // While an operation with a data connection runs, watches the control
    // channel for ABOR (and for the client going away) and aborts the data.
    void start_watch(const std::shared_ptr<DataConnection> &conn);
    void stop_watch();

    const Settings &settings_;
    SessionSetup setup_;
    ControlChannel control_;
    int fd_; // the control socket (control_.fd())
    sockaddr_storage local_{};
    sockaddr_storage peer_{};
    std::string peer_text_;    // "address:port"
    std::string peer_address_; // the address alone
    std::string inbuf_;
    bool discard_line_ = false; // skipping the rest of an over-long command line
    std::mutex write_mutex_;
    std::atomic<bool> quit_{false}; // set from data-channel threads when the client is gone

    // Login state.
    std::string pending_user_;
    std::string user_;
    bool logged_in_ = false;
    int login_failures_ = 0;
    std::string certificate_user_;    // USER accepted by the client certificate
    std::string certificate_refusal_; // why the certificate does not log in
    std::chrono::steady_clock::time_point login_deadline_;

    // TLS state.
    bool pbsz_seen_ = false;
    bool protect_data_ = false; // PROT P

    // Storage session and protocol state.
    std::unique_ptr<orvel::host::Session> session_;
    std::string cwd_ = "/";
    std::string checksums_;
    std::shared_ptr<DataConnection> data_;
    bool epsv_all_ = false;
    int64_t restart_ = 0;
    int64_t alloc_ = 0;
    std::string rename_from_;

    // ABOR watch during transfers.
    int watch_stop_[2] = {-1, -1};
    std::unique_ptr<std::thread> watch_;
    std::atomic<bool> abort_seen_{false};
    std::atomic<bool> client_gone_{false};
};

} // namespace orvel::server
