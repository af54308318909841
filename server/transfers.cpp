// RETR, ERET and STOR: file transfers between the client's data connection
// and the storage, plus the ABOR watch that runs while data flows.
#include "ftp_session.hpp"
#include "listing.hpp"
#include "log.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace orvel::server {

namespace {

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool is_abor(const std::string &raw)
{
    std::string verb;
    for (char c : raw) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80 || c == '\r' || c == '\n' || c == ' ')
            continue; // Telnet IP/Synch bytes precede an urgent ABOR
        verb += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    return verb == "ABOR";
}

} // namespace

std::shared_ptr<DataConnection> FtpSession::take_data_connection()
{
    std::shared_ptr<DataConnection> conn = std::move(data_);
    data_.reset();
    if (!conn)
        reply(425, "Use PASV or EPSV first.");
    return conn;
}

void FtpSession::open_data(DataConnection &conn, const std::string &what)
{
    reply(150, "Opening BINARY mode data connection for " + what + ".");
    std::string error;
    if (!conn.open(&error))
        log_error("user=%s data connection for %s: %s", user_.c_str(), what.c_str(), error.c_str());
}

void FtpSession::start_watch(const std::shared_ptr<DataConnection> &conn)
{
    abort_seen_ = false;
    client_gone_ = false;
    if (::pipe2(watch_stop_, O_CLOEXEC) != 0) {
        watch_stop_[0] = watch_stop_[1] = -1;
        return;
    }
    watch_ = std::make_unique<std::thread>([this, conn] {
        for (;;) {
            int r = control_.wait_readable(-1, watch_stop_[0]);
            if (r < 0 || r == 2)
                return;
            char buf[4096];
            ssize_t n = control_.read_some(buf, sizeof buf);
            if (n == -2)
                continue; // part of a TLS record
            if (n <= 0) {
                client_gone_ = true;
                conn->abort();
                return;
            }
            inbuf_.append(buf, static_cast<size_t>(n));
            // An ABOR among the complete lines stops the transfer; other
            // commands wait for their turn after it.
            size_t start = 0;
            for (;;) {
                size_t nl = inbuf_.find('\n', start);
                if (nl == std::string::npos)
                    break;
                if (is_abor(inbuf_.substr(start, nl - start))) {
                    inbuf_.erase(start, nl + 1 - start);
                    abort_seen_ = true;
                    conn->abort();
                    return;
                }
                start = nl + 1;
            }
            if (inbuf_.size() > 65536)
                return; // a flood of commands: leave them to the parser
        }
    });
}

void FtpSession::stop_watch()
{
    if (watch_) {
        char b = 1;
        ssize_t w = ::write(watch_stop_[1], &b, 1);
        (void)w;
        watch_->join();
        watch_.reset();
    }
    for (int &fd : watch_stop_) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    if (client_gone_)
        quit_ = true;
}

void FtpSession::cmd_retr(const std::string &arg)
{
    int64_t offset = restart_;
    restart_ = 0;
    alloc_ = 0;
    if (arg.empty())
        return reply(501, "RETR needs a path.");
    run_retrieve(resolve(arg), offset, -1, "RETR");
}

void FtpSession::cmd_eret(const std::string &arg)
{
    // "ERET P offset length path": partial retrieve of a byte range.
    restart_ = 0;
    alloc_ = 0;
    std::istringstream in(arg);
    std::string mode, off_text, len_text;
    in >> mode >> off_text >> len_text;
    std::string path;
    std::getline(in, path);
    if (!path.empty() && path[0] == ' ')
        path.erase(0, 1);
    char *e1 = nullptr, *e2 = nullptr;
    errno = 0;
    long long offset = std::strtoll(off_text.c_str(), &e1, 10);
    long long length = std::strtoll(len_text.c_str(), &e2, 10);
    if (mode != "P" && mode != "p")
        return reply(504, "Only the partial retrieve module \"P\" is supported.");
    if (off_text.empty() || len_text.empty() || *e1 || *e2 || errno != 0 || offset < 0 || length < 0 || path.empty())
        return reply(501, "Usage: ERET P offset length path.");
    if (length == 0) {
        // Nothing to send; the storage reads a length of 0 as "no range".
        // The file must still exist.
        std::shared_ptr<DataConnection> conn = take_data_connection();
        if (!conn)
            return;
        orvel::host::StatEntry entry;
        if (!stat_one(resolve(path), &entry))
            return;
        if (is_folder(entry))
            return reply(550, resolve(path) + ": Not a regular file.");
        open_data(*conn, resolve(path));
        conn->close();
        if (conn->contested())
            return reply(426, "Transfer failed: a second data connection arrived from your address.");
        return reply(226, "Transfer complete (0 bytes).");
    }
    run_retrieve(resolve(path), offset, length, "ERET");
}

// The end of a transfer: one log line, then the reply (ABOR, the error, or success).
void FtpSession::finish_transfer(DataConnection &conn, const char *command, const std::string &path,
                                 const orvel::host::Outcome &out, std::chrono::steady_clock::time_point start)
{
    log_transfer(user_, command, path, conn.bytes_moved(), seconds_since(start), out.ok());
    if (abort_seen_) {
        reply(426, "Transfer aborted.");
        return reply(226, "ABOR command successful.");
    }
    if (!out.ok())
        return reply_error(out, command);
    if (conn.contested())
        return reply(426, "Transfer failed: a second data connection arrived from your address, so another "
                          "program may have taken the data port. Use TLS (AUTH TLS, PROT P) to protect data.");
    reply(226, "Transfer complete (" + std::to_string(conn.bytes_moved()) + " bytes).");
}

void FtpSession::run_retrieve(const std::string &path, int64_t offset, int64_t length, const char *command)
{
    std::shared_ptr<DataConnection> conn = take_data_connection();
    if (!conn)
        return;
    orvel::host::TransferRequest request;
    request.pathname = path;
    request.channel = conn;
    if (offset != 0 || length != -1)
        request.read_ranges = {{offset, length}};
    orvel::host::Hooks hooks;
    hooks.on_begin_transfer = [&] { open_data(*conn, path); };

    auto start = std::chrono::steady_clock::now();
    start_watch(conn);
    orvel::host::Outcome out = session_->send(request, hooks);
    stop_watch();
    if (out.ok() && !out.transfer_begun)
        open_data(*conn, path);
    conn->close(); // the client sees the end of the file before the reply
    finish_transfer(*conn, command, path, out, start);
}

void FtpSession::cmd_stor(const std::string &arg)
{
    int64_t offset = restart_;
    int64_t alloc = alloc_;
    restart_ = 0;
    alloc_ = 0;
    if (arg.empty())
        return reply(501, "STOR needs a path.");
    std::string path = resolve(arg);
    std::shared_ptr<DataConnection> conn = take_data_connection();
    if (!conn)
        return;
    orvel::host::TransferRequest request;
    request.pathname = path;
    request.channel = conn;
    // A restarted upload continues at the offset instead of starting afresh.
    request.write_range = {offset, -1};
    request.truncate = offset == 0;
    request.alloc_size = alloc;
    orvel::host::Hooks hooks;
    hooks.on_begin_transfer = [&] { open_data(*conn, path); };

    auto start = std::chrono::steady_clock::now();
    start_watch(conn);
    orvel::host::Outcome out = session_->recv(request, hooks);
    stop_watch();
    conn->close();
    finish_transfer(*conn, "STOR", path, out, start);
}

void FtpSession::cmd_appe(const std::string &)
{
    refuse_offset_store("APPE");
}

void FtpSession::cmd_stou(const std::string &)
{
    refuse_offset_store("STOU");
}

void FtpSession::cmd_esto(const std::string &)
{
    refuse_offset_store("ESTO");
}

void FtpSession::refuse_offset_store(const char *verb)
{
    // The storage replaces whole files; it cannot append or store at offsets.
    restart_ = 0;
    alloc_ = 0;
    reply(502, std::string(verb) + " is not supported by this storage.");
}

} // namespace orvel::server
