// TLS on the control channel (RFC 4217: AUTH TLS, PBSZ, PROT; CCC is
// refused), data-connection protection, and the client certificate as a
// login.
#include "cert_map.hpp"
#include "ftp_session.hpp"
#include "log.hpp"

#include <algorithm>

namespace orvel::server {

namespace {

std::string upper_text(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

} // namespace

int FtpSession::login_time_left_ms() const
{
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(login_deadline_ - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

bool FtpSession::start_tls()
{
    // Before login the handshake counts against the login deadline: a
    // client that stalls in it cannot hold the connection longer.
    int timeout_ms = logged_in_ ? settings_.idle_timeout * 1000 : std::max(login_time_left_ms(), 1);
    std::string error;
    if (!control_.start_tls(*setup_.tls, timeout_ms, &error)) {
        log_info("TLS with %s failed: %s", peer_text_.c_str(), error.c_str());
        quit_ = true;
        return false;
    }
    log_info("TLS with %s: %s", peer_text_.c_str(), control_.tls()->description().c_str());
    return true;
}

void FtpSession::cmd_auth(const std::string &arg)
{
    std::string mechanism = upper_text(arg);
    if (!setup_.tls)
        return reply(502, "AUTH TLS is not available: the server has no certificate configured.");
    if (mechanism != "TLS" && mechanism != "TLS-C" && mechanism != "SSL")
        return reply(504, "Only AUTH TLS is supported.");
    if (control_.secure())
        return reply(503, "TLS is already active.");
    if (logged_in_)
        return reply(503, "AUTH TLS must come before the login.");
    reply(234, "AUTH TLS ok, starting the TLS handshake.");
    // Whatever the client sent after AUTH in clear text is not a protected
    // command: it must not run as one. A new security state also starts a
    // new login (RFC 4217).
    inbuf_.clear();
    discard_line_ = false;
    pending_user_.clear();
    certificate_user_.clear();
    start_tls();
}

void FtpSession::cmd_pbsz(const std::string &arg)
{
    if (!control_.secure())
        return reply(503, "PBSZ needs AUTH TLS first.");
    if (arg.empty())
        return reply(501, "PBSZ needs a size.");
    pbsz_seen_ = true;
    reply(200, "PBSZ=0"); // TLS needs no protection buffer
}

void FtpSession::cmd_prot(const std::string &arg)
{
    if (!control_.secure())
        return reply(503, "PROT needs AUTH TLS first.");
    if (!pbsz_seen_)
        return reply(503, "PROT needs PBSZ first.");
    std::string level = upper_text(arg);
    if (level == "P") {
        protect_data_ = true;
        return reply(200, "Protection level set to P: data connections use TLS.");
    }
    if (level == "C") {
        protect_data_ = false;
        return reply(200, "Protection level set to C: data connections are clear text.");
    }
    if (level == "S" || level == "E")
        return reply(536, "Protection level " + level + " is not supported; use P or C.");
    reply(504, "Unknown protection level.");
}

void FtpSession::cmd_ccc(const std::string &)
{
    reply(534, "CCC refused: the control connection stays protected.");
}

void FtpSession::protect(DataConnection &conn)
{
    if (protect_data_)
        conn.protect(setup_.tls, control_.tls(), settings_.data_tls_resume_required);
}

std::string FtpSession::certificate_user(const std::string &requested, std::string *why)
{
    PeerCertificate cert = control_.tls()->peer_certificate();
    if (!cert.presented) {
        *why = "no client certificate";
        return "";
    }
    if (!cert.verified) {
        *why = "the client certificate of \"" + cert.subject + "\" is not accepted: " + cert.error;
        return "";
    }
    std::vector<CertMapEntry> map;
    std::string error;
    if (!load_cert_map(settings_.cert_map, &map, &error)) {
        log_error("certificate map: %s", error.c_str());
        *why = "the certificate map cannot be read";
        return "";
    }
    std::vector<std::string> users = users_for_subject(map, cert.subject);
    if (users.empty()) {
        *why = "certificate subject \"" + cert.subject + "\" is not in the certificate map";
        return "";
    }
    if (std::find(users.begin(), users.end(), requested) != users.end())
        return requested;
    // A client that names no user of its own (curl sends "anonymous") logs
    // in as the subject's first user.
    if (!settings_.allow_anonymous && (requested == "anonymous" || requested == "ftp"))
        return users.front();
    *why = "certificate subject \"" + cert.subject + "\" may not log in as " + requested;
    return "";
}

} // namespace orvel::server
