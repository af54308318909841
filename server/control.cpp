// The control channel: reading commands, writing replies, login, and the
// commands that need no data connection.
#include "cert_map.hpp"
#include "ftp_session.hpp"
#include "listing.hpp"
#include "log.hpp"
#include "login_throttle.hpp"
#include "users.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace orvel::server {

namespace {

const size_t kMaxLine = 8192;
const size_t kMaxDocument = 1 << 20; // credential and policy documents

std::string upper(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string address_text(const sockaddr_storage &addr)
{
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (addr.ss_family == AF_INET) {
        auto &a = reinterpret_cast<const sockaddr_in &>(addr);
        inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
        port = ntohs(a.sin_port);
    } else if (addr.ss_family == AF_INET6) {
        auto &a = reinterpret_cast<const sockaddr_in6 &>(addr);
        inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
        port = ntohs(a.sin6_port);
    }
    return std::string(host) + ":" + std::to_string(port);
}

// Removes Telnet command sequences (IAC ...) and the line end.
std::string clean_line(const std::string &raw)
{
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(raw[i]);
        if (c == 0xff) {
            if (i + 1 < raw.size() && static_cast<unsigned char>(raw[i + 1]) == 0xff) {
                out += raw[i];
                ++i;
            } else if (i + 1 < raw.size() && static_cast<unsigned char>(raw[i + 1]) >= 0xfb) {
                i += 2; // WILL/WONT/DO/DONT and their option
            } else {
                i += 1; // IP, DM, ...
            }
            continue;
        }
        if (c == '\r' || c == '\n' || c == 0)
            continue;
        out += raw[i];
    }
    return out;
}

// True when two address texts name one address (IPv4 also as ::ffff:a.b.c.d).
bool same_address(const std::string &a, const std::string &b)
{
    auto binary = [](const std::string &text, in6_addr *out) {
        in_addr v4{};
        if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
            return inet_pton(AF_INET6, ("::ffff:" + text).c_str(), out) == 1;
        return inet_pton(AF_INET6, text.c_str(), out) == 1;
    };
    in6_addr x{}, y{};
    return binary(a, &x) && binary(b, &y) && std::memcmp(&x, &y, sizeof x) == 0;
}

// "VERB arg" -> ("VERB", "arg"); the verb in upper case.
std::pair<std::string, std::string> split_command(const std::string &line)
{
    size_t sp = line.find(' ');
    if (sp == std::string::npos)
        return {upper(line), ""};
    return {upper(line.substr(0, sp)), line.substr(sp + 1)};
}

std::string one_line(const std::string &text)
{
    std::string out = text;
    for (char &c : out)
        if (c == '\n' || c == '\r')
            c = '|';
    return out;
}

bool read_document(const std::string &path, std::string *out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string text;
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxDocument)
            return false;
    }
    *out = std::move(text);
    return true;
}

// An error reply's code: 400 to 599. Any other would not be three digits or
// would tell the client that the command went through.
bool is_error_code(int code)
{
    return code >= 400 && code <= 599;
}

// True when the text starts with three digits (a reply code).
bool has_code(const std::string &text)
{
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return text.size() >= 3 && digit(text[0]) && digit(text[1]) && digit(text[2]);
}

} // namespace

std::string normalize_path(const std::string &cwd, const std::string &arg)
{
    std::string full = (!arg.empty() && arg[0] == '/') ? arg : cwd + "/" + arg;
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= full.size()) {
        size_t j = full.find('/', i);
        if (j == std::string::npos)
            j = full.size();
        std::string part = full.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    if (parts.empty())
        return "/";
    std::string out;
    for (const auto &p : parts)
        out += "/" + p;
    return out;
}

std::string format_reply_block(const std::string &text, int force_code)
{
    // A bare CR breaks a line as LF does: none may stay inside a reply line.
    std::vector<std::string> lines;
    std::string line;
    for (char c : text + "\n") {
        if (c != '\r' && c != '\n') {
            line += c;
        } else if (!line.empty()) {
            lines.push_back(line);
            line.clear();
        }
    }
    int code = force_code;
    if (!is_error_code(code) && !lines.empty() && has_code(lines[0]))
        code = std::stoi(lines[0].substr(0, 3));
    if (!is_error_code(code))
        code = 451;
    std::string code_text = std::to_string(code);
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string body = lines[i];
        // Strip an existing "NNN-" / "NNN " prefix.
        if (body.size() >= 4 && has_code(body) && (body[3] == '-' || body[3] == ' '))
            body = body.substr(4);
        bool last = i + 1 == lines.size();
        out += code_text + (last ? " " : "-") + body + "\r\n";
    }
    if (out.empty())
        out = code_text + " Requested action not taken.\r\n";
    return out;
}

FtpSession::FtpSession(const Settings &settings, int control_fd, const SessionSetup &setup)
    : settings_(settings), setup_(setup), control_(control_fd), fd_(control_fd),
      login_deadline_(std::chrono::steady_clock::now() + std::chrono::seconds(settings.login_timeout))
{
    socklen_t len = sizeof local_;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&local_), &len);
    len = sizeof peer_;
    ::getpeername(fd_, reinterpret_cast<sockaddr *>(&peer_), &len);
    peer_text_ = address_text(peer_);
    peer_address_ = host_text(peer_);
    // An urgent ABOR (Telnet Synch) keeps its last byte in the command stream.
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one);
}

FtpSession::~FtpSession()
{
    stop_watch();
    data_.reset();
    session_.reset(); // the storage interface's teardown
}

// ------------------------------------------------------------ control I/O

void FtpSession::send_raw(const std::string &text)
{
    std::lock_guard<std::mutex> lock(write_mutex_);
    // A client that stops reading its replies is given up after the idle
    // time instead of holding the session in a blocked write for ever.
    if (!quit_ && !control_.write_all(text, settings_.idle_timeout * 1000))
        quit_ = true; // the client is gone
}

void FtpSession::reply(int code, const std::string &text)
{
    send_raw(std::to_string(code) + " " + one_line(text) + "\r\n");
}

void FtpSession::reply_lines(int code, const std::vector<std::string> &lines)
{
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i)
        out += std::to_string(code) + (i + 1 == lines.size() ? " " : "-") + one_line(lines[i]) + "\r\n";
    send_raw(out);
}

void FtpSession::reply_error(const orvel::host::Outcome &outcome, const char *what)
{
    std::string text = outcome.ftp_reply();
    log_error("user=%s %s failed: %s", user_.c_str(), what,
              one_line(outcome.chain_text().empty() ? text : outcome.chain_text()).c_str());
    if (text.empty()) {
        reply(451, std::string(what) + " failed: local error in processing.");
        return;
    }
    send_raw(format_reply_block(text, 0));
}

bool FtpSession::take_buffered_line(std::string *line)
{
    size_t nl = inbuf_.find('\n');
    if (nl == std::string::npos)
        return false;
    if (discard_line_) {
        // The tail of an over-long line is not a command of its own.
        inbuf_.erase(0, nl + 1);
        discard_line_ = false;
        return take_buffered_line(line);
    }
    *line = clean_line(inbuf_.substr(0, nl));
    inbuf_.erase(0, nl + 1);
    return true;
}

bool FtpSession::read_line(std::string *line)
{
    for (;;) {
        if (take_buffered_line(line))
            return true;
        if (inbuf_.size() > kMaxLine) {
            if (!discard_line_)
                reply(500, "Command line too long.");
            inbuf_.clear();
            discard_line_ = true;
            continue;
        }
        int wait_ms = settings_.idle_timeout * 1000;
        bool login_bound = !logged_in_ && login_time_left_ms() < wait_ms;
        if (login_bound)
            wait_ms = login_time_left_ms();
        int r = control_.wait_readable(wait_ms);
        if (r == 0) {
            if (login_bound) {
                log_info("connection from %s: no login within %d s", peer_text_.c_str(), settings_.login_timeout);
                reply(421, "Login time exceeded, closing control connection.");
            } else {
                reply(421, "Idle timeout, closing control connection.");
            }
            return false;
        }
        if (r < 0)
            return false;
        char buf[4096];
        ssize_t n = control_.read_some(buf, sizeof buf);
        if (n == -2)
            continue; // part of a TLS record
        if (n <= 0)
            return false;
        inbuf_.append(buf, static_cast<size_t>(n));
    }
}

void FtpSession::run()
{
    log_info("connection from %s%s", peer_text_.c_str(), setup_.implicit_tls ? " (implicit TLS)" : "");
    if (setup_.implicit_tls && !start_tls())
        return;
    reply(220, "orvel-gridftp-server ready.");
    std::string line;
    while (!quit_ && read_line(&line)) {
        auto [verb, arg] = split_command(line);
        if (verb.empty()) {
            reply(500, "Syntax error: a command line starts with the command name.");
            continue;
        }
        dispatch(verb, arg);
    }
    log_info("connection from %s closed (user %s)", peer_text_.c_str(), user_.empty() ? "-" : user_.c_str());
}

// ------------------------------------------------------------------ login

void FtpSession::cmd_user(const std::string &arg)
{
    if (logged_in_)
        return reply(503, "Already logged in.");
    if (arg.empty())
        return reply(501, "USER needs a name.");
    pending_user_.clear();
    certificate_user_.clear();
    certificate_refusal_.clear();
    if (!control_.secure() && !clear_text_logins_allowed(settings_)) {
        log_info("clear-text login of \"%s\" from %s refused", arg.c_str(), peer_text_.c_str());
        return reply(530, "Login refused: this server takes logins over TLS only (AUTH TLS first), so that "
                          "passwords and data do not cross the network in clear text.");
    }
    pending_user_ = arg;
    if (control_.secure() && !settings_.cert_map.empty()) {
        certificate_user_ = certificate_user(arg, &certificate_refusal_);
        if (!certificate_user_.empty())
            return reply(331, "Certificate accepted for " + certificate_user_ + "; send any password.");
    }
    if (settings_.allow_anonymous && (arg == "anonymous" || arg == "ftp"))
        return reply(331, "Anonymous login ok, send any password.");
    reply(331, "Password required for " + arg + ".");
}

void FtpSession::cmd_pass(const std::string &arg)
{
    if (logged_in_)
        return reply(503, "Already logged in.");
    if (pending_user_.empty())
        return reply(503, "Send USER first.");
    std::string name = pending_user_;
    pending_user_.clear();

    std::string creds, policy;
    bool accepted = false;
    // The users file is re-read on every login so that edits apply without a restart.
    std::vector<UserEntry> users;
    std::string error;
    bool users_read = !settings_.users_file.empty() && load_users(settings_.users_file, &users, &error);
    if (!settings_.users_file.empty() && !users_read)
        log_error("users file: %s", error.c_str());
    if (!certificate_user_.empty()) {
        // Authenticated by the verified certificate; the password is not used.
        name = certificate_user_;
        accepted = true;
        log_info("certificate login of %s from %s", name.c_str(), peer_text_.c_str());
    } else if (settings_.allow_anonymous && (name == "anonymous" || name == "ftp")) {
        name = "anonymous";
        accepted = true;
    } else if (users_read) {
        // Every answer to a password waits for its turn in the server-wide
        // schedule, so that parallel connections guess no faster than one.
        int64_t wait_ms = ask_login_wait(setup_.throttle_fd, peer_address_, name);
        if (wait_ms > login_time_left_ms()) {
            // Its turn would come after the login deadline: no answer at all.
            report_login_failure(setup_.throttle_fd, peer_address_, name);
            reply(421, "Login time exceeded, closing control connection.");
            quit_ = true;
            return;
        }
        if (wait_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
        if (auto found = find_user(users, name); found && verify_password(*found, arg))
            accepted = true;
    }
    if (accepted) {
        if (auto found = find_user(users, name)) {
            creds = found->creds_file;
            policy = found->policy_file;
        }
    }
    if (!accepted) {
        ++login_failures_;
        report_login_failure(setup_.throttle_fd, peer_address_, name);
        log_info("login failed for \"%s\" from %s%s%s", name.c_str(), peer_text_.c_str(),
                 certificate_refusal_.empty() ? "" : ": ", certificate_refusal_.c_str());
        if (settings_.login_delay_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(settings_.login_delay_ms));
        if (!certificate_refusal_.empty() && certificate_refusal_ != "no client certificate")
            reply(530, "Login incorrect; " + certificate_refusal_ + ".");
        else
            reply(530, "Login incorrect.");
        if (login_failures_ >= settings_.max_login_failures) {
            reply(421, "Too many failed logins, closing control connection.");
            quit_ = true;
        }
        return;
    }
    if (creds.empty())
        creds = expand_user(settings_.creds_file, name);
    if (policy.empty())
        policy = expand_user(settings_.policy_file, name);
    if (creds.empty()) {
        log_error("no credential document configured for user %s", name.c_str());
        return reply(530, "Login refused: no storage credential is configured for this user.");
    }
    if (!start_storage_session(name, creds, policy))
        return;
    user_ = name;
    logged_in_ = true;
    log_info("user %s logged in from %s", name.c_str(), peer_text_.c_str());
    reply(230, "User " + name + " logged in.");
}

bool FtpSession::start_storage_session(const std::string &user, const std::string &creds, const std::string &policy)
{
    // The documents are read on every lookup: "renew-creds" thereby sees a
    // token an external refresher has written in the meantime.
    orvel::host::ConfigProvider provider = [creds, policy](const std::string &key) -> std::optional<std::string> {
        std::string text;
        if (key == "creds" || key == "renew-creds") {
            if (read_document(creds, &text))
                return text;
            log_error("cannot read credential document %s: %s", creds.c_str(), std::strerror(errno));
            return std::nullopt;
        }
        if (key == "config" && !policy.empty()) {
            if (read_document(policy, &text))
                return text;
            log_error("cannot read storage policy document %s: %s", policy.c_str(), std::strerror(errno));
        }
        return std::nullopt;
    };
    orvel::host::Outcome outcome;
    session_ = orvel::host::Host::start_session(settings_.dsi_name, user, provider, &outcome);
    if (!session_) {
        std::string text = outcome.ftp_reply();
        log_error("session start for %s failed: %s", user.c_str(),
                  one_line(outcome.chain_text().empty() ? text : outcome.chain_text()).c_str());
        if (text.empty())
            reply(530, "Login refused: the storage session could not start.");
        else
            send_raw(format_reply_block("530-Login refused: the storage session could not start.\n" + text, 530));
        return false;
    }
    cwd_ = session_->home_dir().empty() ? "/" : normalize_path("/", session_->home_dir());
    checksums_ = session_->checksum_support();
    return true;
}

// ------------------------------------------------------ simple commands

void FtpSession::cmd_quit(const std::string &)
{
    reply(221, "Goodbye.");
    quit_ = true;
}

void FtpSession::cmd_syst(const std::string &)
{
    reply(215, "UNIX Type: L8");
}

void FtpSession::cmd_noop(const std::string &)
{
    reply(200, "NOOP ok.");
}

void FtpSession::cmd_opts(const std::string &arg)
{
    std::string u = upper(arg);
    if (u == "UTF8 ON" || u == "UTF8" || u == "UTF-8 ON")
        return reply(200, "UTF8 mode is always on.");
    if (u.rfind("MLST", 0) == 0)
        return reply(200, "MLST OPTS type;size;modify;unique;perm;");
    reply(501, "Unknown option.");
}

void FtpSession::cmd_type(const std::string &arg)
{
    std::string u = upper(arg);
    // ASCII is accepted but data always flows unchanged (binary).
    if (u == "I" || u == "L 8")
        return reply(200, "Type set to I.");
    if (u == "A" || u == "A N")
        return reply(200, "Type set to A (data is transferred unchanged).");
    reply(504, "Type not supported.");
}

void FtpSession::cmd_mode(const std::string &arg)
{
    if (upper(arg) == "S")
        return reply(200, "Mode set to S.");
    reply(504, "Only stream mode (S) is supported.");
}

void FtpSession::cmd_stru(const std::string &arg)
{
    if (upper(arg) == "F")
        return reply(200, "Structure set to F.");
    reply(504, "Only file structure (F) is supported.");
}

void FtpSession::cmd_rest(const std::string &arg)
{
    char *end = nullptr;
    errno = 0;
    long long n = std::strtoll(arg.c_str(), &end, 10);
    if (arg.empty() || *end != '\0' || errno != 0 || n < 0)
        return reply(501, "REST needs a non-negative byte offset.");
    restart_ = n;
    reply(350, "Restarting at " + std::to_string(n) + ". Send STOR or RETR to continue.");
}

void FtpSession::cmd_allo(const std::string &arg)
{
    // "ALLO n" or "ALLO n R m": the size of the next upload.
    char *end = nullptr;
    errno = 0;
    long long n = std::strtoll(arg.c_str(), &end, 10);
    if (arg.empty() || errno != 0 || (*end != '\0' && *end != ' ') || n < 0)
        return reply(501, "ALLO needs a non-negative size.");
    alloc_ = n;
    reply(200, "ALLO ok, " + std::to_string(n) + " bytes announced.");
}

void FtpSession::cmd_abor(const std::string &)
{
    // A transfer's ABOR is taken by the watch that runs beside it.
    reply(226, "ABOR command successful; no transfer in progress.");
}

bool FtpSession::stat_one(const std::string &path, orvel::host::StatEntry *entry)
{
    orvel::host::Outcome out = session_->stat(path, true);
    std::vector<orvel::host::StatEntry> all = out.all_stats();
    if (!out.ok() || all.empty()) {
        reply_error(out, "stat");
        return false;
    }
    *entry = all[0];
    return true;
}

void FtpSession::cmd_pwd(const std::string &)
{
    std::string quoted;
    for (char c : cwd_)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    reply(257, "\"" + quoted + "\" is the current directory.");
}

void FtpSession::cmd_cwd(const std::string &arg)
{
    std::string path = resolve(arg.empty() ? "/" : arg);
    orvel::host::StatEntry entry;
    if (!stat_one(path, &entry))
        return;
    if (!is_folder(entry))
        return reply(550, path + ": Not a directory.");
    cwd_ = path;
    reply(250, "Directory changed to " + path + ".");
}

void FtpSession::cmd_cdup(const std::string &)
{
    cmd_cwd("..");
}

void FtpSession::cmd_size(const std::string &arg)
{
    orvel::host::StatEntry entry;
    std::string path = resolve(arg);
    if (!stat_one(path, &entry))
        return;
    if (is_folder(entry))
        return reply(550, path + ": Not a regular file.");
    reply(213, std::to_string(entry.size));
}

void FtpSession::cmd_mdtm(const std::string &arg)
{
    orvel::host::StatEntry entry;
    if (!stat_one(resolve(arg), &entry))
        return;
    reply(213, render_ftp_time(entry.mtime));
}

void FtpSession::cmd_simple_command(orvel_gfs_command_type_t type, const char *name, const std::string &path,
                                    const std::string &success)
{
    orvel::host::CommandRequest request;
    request.command = type;
    request.pathname = path;
    orvel::host::Outcome out = session_->command(request);
    if (!out.ok())
        return reply_error(out, name);
    log_info("user=%s %s path=\"%s\" ok", user_.c_str(), name, path.c_str());
    reply(250, success);
}

void FtpSession::cmd_mkd(const std::string &arg)
{
    if (arg.empty())
        return reply(501, "MKD needs a path.");
    std::string path = resolve(arg);
    orvel::host::CommandRequest request;
    request.command = ORVEL_GFS_CMD_MKD;
    request.pathname = path;
    orvel::host::Outcome out = session_->command(request);
    if (!out.ok())
        return reply_error(out, "MKD");
    std::string quoted;
    for (char c : path)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    log_info("user=%s MKD path=\"%s\" ok", user_.c_str(), path.c_str());
    reply(257, "\"" + quoted + "\" directory created.");
}

void FtpSession::cmd_rnfr(const std::string &arg)
{
    rename_from_.clear();
    if (arg.empty())
        return reply(501, "RNFR needs a path.");
    std::string path = resolve(arg);
    orvel::host::StatEntry entry;
    if (!stat_one(path, &entry))
        return;
    rename_from_ = path;
    reply(350, "Ready for RNTO.");
}

void FtpSession::cmd_rnto(const std::string &arg)
{
    if (rename_from_.empty())
        return reply(503, "Send RNFR first.");
    std::string from = rename_from_;
    rename_from_.clear();
    if (arg.empty())
        return reply(501, "RNTO needs a path.");
    orvel::host::CommandRequest request;
    request.command = ORVEL_GFS_CMD_RNTO;
    request.from_pathname = from;
    request.pathname = resolve(arg);
    orvel::host::Outcome out = session_->command(request);
    if (!out.ok())
        return reply_error(out, "RNTO");
    log_info("user=%s RNTO from=\"%s\" to=\"%s\" ok", user_.c_str(), from.c_str(), request.pathname.c_str());
    reply(250, "Rename successful.");
}

void FtpSession::cmd_site_rdel(const std::string &arg)
{
    if (arg.empty())
        return reply(501, "SITE RDEL needs a path.");
    cmd_simple_command(ORVEL_GFS_CMD_SITE_RDEL, "SITE RDEL", resolve(arg), "Removed.");
}

void FtpSession::cmd_site_chmod(const std::string &arg)
{
    // "SITE CHMOD mode path": handed to the storage, which decides.
    size_t sp = arg.find(' ');
    if (sp == std::string::npos)
        return reply(501, "SITE CHMOD needs a mode and a path.");
    orvel::host::CommandRequest request;
    request.command = ORVEL_GFS_CMD_SITE_CHMOD;
    request.pathname = resolve(arg.substr(sp + 1));
    orvel::host::Outcome out = session_->command(request);
    if (!out.ok())
        return reply_error(out, "SITE CHMOD");
    reply(200, "SITE CHMOD ok.");
}

void FtpSession::cmd_cksm(const std::string &arg)
{
    // "CKSM algorithm offset length path"
    std::istringstream in(arg);
    std::string alg, off_text, len_text;
    in >> alg >> off_text >> len_text;
    std::string path;
    std::getline(in, path);
    if (!path.empty() && path[0] == ' ')
        path.erase(0, 1);
    char *end1 = nullptr, *end2 = nullptr;
    errno = 0;
    long long offset = std::strtoll(off_text.c_str(), &end1, 10);
    long long length = std::strtoll(len_text.c_str(), &end2, 10);
    if (alg.empty() || path.empty() || off_text.empty() || len_text.empty() || *end1 || *end2 || errno != 0 ||
        offset < 0 || length < -1)
        return reply(501, "Usage: CKSM algorithm offset length path (length -1 = to the end).");
    orvel::host::CommandRequest request;
    request.command = ORVEL_GFS_CMD_CKSM;
    request.pathname = resolve(path);
    request.cksm_alg = alg;
    request.cksm_offset = offset;
    request.cksm_length = length;
    request.update_interval = settings_.cksm_interval;
    orvel::host::Hooks hooks;
    hooks.on_intermediate = [this](const std::string &text) { reply(113, text); };
    orvel::host::Outcome out = session_->command(request, hooks);
    if (!out.ok())
        return reply_error(out, "CKSM");
    reply(213, out.reply_text);
}

void FtpSession::cmd_pasv(const std::string &arg)
{
    open_passive(false, arg);
}

void FtpSession::cmd_epsv(const std::string &arg)
{
    open_passive(true, arg);
}

void FtpSession::open_passive(bool extended, const std::string &arg)
{
    if (extended && upper(arg) == "ALL") {
        epsv_all_ = true;
        return reply(200, "EPSV ALL ok.");
    }
    if (!extended && epsv_all_)
        return reply(503, "PASV is not allowed after EPSV ALL.");
    if (!extended && local_.ss_family != AF_INET && settings_.passive_address.empty())
        return reply(522, "PASV needs IPv4; use EPSV.");
    data_.reset();
    int port = 0;
    std::string error;
    int lfd = open_passive_listener(local_, settings_.passive_low, settings_.passive_high, &port, &error);
    if (lfd < 0) {
        log_error("passive listener: %s", error.c_str());
        return reply(425, "Cannot open a passive data connection.");
    }
    data_ = std::make_shared<DataConnection>(lfd, peer_, settings_.data_timeout);
    protect(*data_);
    if (extended)
        return reply(229, "Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
    std::string host = settings_.passive_address;
    if (host.empty()) {
        char buf[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in &>(local_).sin_addr, buf, sizeof buf);
        host = buf;
    }
    for (char &c : host)
        if (c == '.')
            c = ',';
    reply(227,
          "Entering Passive Mode (" + host + "," + std::to_string(port / 256) + "," + std::to_string(port % 256) + ")");
}

void FtpSession::cmd_port(const std::string &arg)
{
    connect_active(false, arg);
}

void FtpSession::cmd_eprt(const std::string &arg)
{
    connect_active(true, arg);
}

void FtpSession::cmd_lprt(const std::string &)
{
    reply(502, "LPRT is not supported; use PORT, EPRT, PASV or EPSV.");
}

// PORT h1,h2,h3,h4,p1,p2 and EPRT |af|address|port|: the client listens and
// the server connects. Only the client's own address is accepted (no
// third-party transfers, no bouncing to other hosts), and no privileged port.
void FtpSession::connect_active(bool extended, const std::string &arg)
{
    if (epsv_all_)
        return reply(503, "PORT and EPRT are not allowed after EPSV ALL.");
    std::string host;
    long port = -1;
    if (extended) {
        // The first character is the delimiter: |1|10.0.0.1|6275|
        char d = arg.empty() ? '|' : arg[0];
        std::vector<std::string> f;
        size_t start = 1;
        for (size_t pos; arg.size() > 1 && (pos = arg.find(d, start)) != std::string::npos; start = pos + 1)
            f.push_back(arg.substr(start, pos - start));
        unsigned char raw[sizeof(in6_addr)];
        if (f.size() == 3 && (f[0] == "1" || f[0] == "2") &&
            inet_pton(f[0] == "1" ? AF_INET : AF_INET6, f[1].c_str(), raw) == 1) {
            host = f[1];
            char *end = nullptr;
            port = std::strtol(f[2].c_str(), &end, 10);
            if (f[2].empty() || *end)
                port = -1;
        }
    } else {
        int b[6];
        char tail = 0;
        if (std::sscanf(arg.c_str(), "%d,%d,%d,%d,%d,%d%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) == 6 &&
            std::all_of(b, b + 6, [](int v) { return v >= 0 && v <= 255; })) {
            host = std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
                   std::to_string(b[3]);
            port = b[4] * 256 + b[5];
        }
    }
    if (host.empty() || port < 1 || port > 65535)
        return reply(501,
                     extended ? "Usage: EPRT |1|a.b.c.d|port| or |2|ipv6|port|." : "Usage: PORT h1,h2,h3,h4,p1,p2.");
    if (!same_address(host, peer_address_)) {
        log_info("user=%s %s to %s refused: not the client's address %s", user_.c_str(), extended ? "EPRT" : "PORT",
                 host.c_str(), peer_address_.c_str());
        return reply(501, "Data connections go to the client's own address only.");
    }
    if (port < 1024)
        return reply(501, "Data connections to privileged ports (below 1024) are refused.");
    data_.reset();
    sockaddr_storage target = peer_;
    if (target.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in &>(target).sin_port = htons(static_cast<uint16_t>(port));
    else
        reinterpret_cast<sockaddr_in6 &>(target).sin6_port = htons(static_cast<uint16_t>(port));
    data_ = std::make_shared<DataConnection>(local_, target, settings_.data_timeout);
    protect(*data_);
    reply(200, std::string(extended ? "EPRT" : "PORT") + " ok.");
}

} // namespace orvel::server
