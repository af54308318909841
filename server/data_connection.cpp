// Passive data connections: listening, accepting the client, streaming bytes.
#include "data_connection.hpp"
#include "log.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <unistd.h>

namespace orvel::server {

namespace {

bool same_host(const sockaddr_storage &a, const sockaddr_storage &b)
{
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in &>(a).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in &>(b).sin_addr.s_addr;
    if (a.ss_family == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6 &>(a).sin6_addr,
                           &reinterpret_cast<const sockaddr_in6 &>(b).sin6_addr, sizeof(in6_addr)) == 0;
    return false;
}

void set_port(sockaddr_storage *addr, int port)
{
    if (addr->ss_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(addr)->sin_port = htons(static_cast<uint16_t>(port));
    else
        reinterpret_cast<sockaddr_in6 *>(addr)->sin6_port = htons(static_cast<uint16_t>(port));
}

int get_port(const sockaddr_storage &addr)
{
    if (addr.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(addr).sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6 &>(addr).sin6_port);
}

} // namespace

std::string host_text(const sockaddr_storage &addr)
{
    char host[INET6_ADDRSTRLEN] = "?";
    if (addr.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(addr).sin_addr, host, sizeof host);
    } else if (addr.ss_family == AF_INET6) {
        const in6_addr &a = reinterpret_cast<const sockaddr_in6 &>(addr).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a))
            inet_ntop(AF_INET, &a.s6_addr[12], host, sizeof host);
        else
            inet_ntop(AF_INET6, &a, host, sizeof host);
    }
    return host;
}

int open_passive_listener(const sockaddr_storage &local, int low, int high, int *port_out, std::string *error)
{
    int fd = ::socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    // Data connections are closed by this side first, which leaves their
    // port in TIME_WAIT: without SO_REUSEADDR a small port range would run
    // dry after a few transfers.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage addr = local;
    socklen_t len = local.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    bool bound = false;
    if (low == 0) {
        set_port(&addr, 0);
        bound = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0;
    } else {
        // Start at a random port of the range so concurrent sessions spread out.
        int span = high - low + 1;
        std::minstd_rand rng(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));
        int start = static_cast<int>(rng() % static_cast<unsigned>(span));
        for (int i = 0; i < span && !bound; ++i) {
            set_port(&addr, low + (start + i) % span);
            bound = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0;
        }
    }
    if (!bound || ::listen(fd, 1) != 0) {
        *error = std::string(bound ? "listen: " : "no free passive port: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    sockaddr_storage bound_addr{};
    socklen_t blen = sizeof bound_addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound_addr), &blen);
    *port_out = get_port(bound_addr);
    return fd;
}

DataConnection::DataConnection(int listen_fd, const sockaddr_storage &control_peer, int timeout_seconds)
    : listen_fd_(listen_fd), peer_(control_peer), timeout_(timeout_seconds)
{
}

DataConnection::DataConnection(const sockaddr_storage &local, const sockaddr_storage &target, int timeout_seconds)
    : listen_fd_(-1), peer_(target), local_(local), active_(true), timeout_(timeout_seconds)
{
}

DataConnection::~DataConnection()
{
    close();
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
}

void DataConnection::protect(const TlsContext *context, TlsStream *control, bool require_resume)
{
    tls_context_ = context;
    control_tls_ = control;
    require_resume_ = require_resume && control != nullptr;
}

// Passive: the next connection from the client's address, or -1.
int DataConnection::accept_client(time_t deadline, std::string *error)
{
    for (;;) {
        if (aborted_) {
            *error = "transfer aborted";
            return -1;
        }
        int left = static_cast<int>(deadline - time(nullptr));
        if (left <= 0) {
            *error = "timed out waiting for the data connection";
            return -1;
        }
        pollfd p{listen_fd_, POLLIN, 0};
        int r = ::poll(&p, 1, left > 1 ? 1000 : left * 1000);
        if (r < 0 && errno != EINTR) {
            *error = std::string("poll: ") + std::strerror(errno);
            return -1;
        }
        if (r <= 0)
            continue;
        sockaddr_storage from{};
        socklen_t flen = sizeof from;
        int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr *>(&from), &flen, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN)
                continue;
            *error = std::string("accept: ") + std::strerror(errno);
            return -1;
        }
        if (!same_host(from, peer_)) {
            // Someone else's connection: refuse it and keep waiting.
            ::close(fd);
            continue;
        }
        return fd;
    }
}

// Active: a connection to the client's announced port, or -1.
int DataConnection::connect_client(time_t deadline, std::string *error)
{
    int fd = ::socket(peer_.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    socklen_t len = peer_.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    sockaddr_storage from = local_;
    set_port(&from, 0);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&from), len) != 0 ||
        (::connect(fd, reinterpret_cast<const sockaddr *>(&peer_), len) != 0 && errno != EINPROGRESS)) {
        *error = std::string("connect: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    for (;;) {
        int left = static_cast<int>(deadline - time(nullptr));
        pollfd p{fd, POLLOUT, 0};
        int r = left > 0 && !aborted_ ? ::poll(&p, 1, left > 1 ? 1000 : left * 1000) : 0;
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0 && left > 1 && !aborted_)
            continue;
        int err = 0;
        socklen_t elen = sizeof err;
        if (r <= 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) != 0 || err != 0) {
            *error = r == 0 ? std::string("timed out connecting to the client")
                            : std::string("connect: ") + std::strerror(err != 0 ? err : errno);
            ::close(fd);
            return -1;
        }
        int flags = ::fcntl(fd, F_GETFL);
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        return fd;
    }
}

bool DataConnection::open(std::string *error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0)
        return true;
    if (open_failed_ || (!active_ && listen_fd_ < 0)) {
        *error = "no data connection";
        return false;
    }
    time_t deadline = time(nullptr) + timeout_;
    for (;;) {
        int fd = active_ ? connect_client(deadline, error) : accept_client(deadline, error);
        if (fd < 0) {
            open_failed_ = true;
            return false;
        }
        if (tls_context_) {
            int left_ms = static_cast<int>(std::max<time_t>(deadline - time(nullptr), 1)) * 1000;
            std::string why;
            tls_ = TlsStream::accept(*tls_context_, fd, TlsStream::Role::data, left_ms, &why);
            if (tls_ && require_resume_ && !tls_->resumes_session_of(*control_tls_)) {
                why = "it does not resume the control connection's TLS session";
                tls_->forget_session();
                tls_.reset();
            }
            if (!tls_) {
                // Not the client of the control connection, or a failed
                // handshake: the rightful client may still come.
                log_info("data connection refused: %s", why.c_str());
                ::close(fd);
                if (active_) {
                    *error = "TLS on the data connection: " + why;
                    open_failed_ = true;
                    return false;
                }
                continue;
            }
        } else {
            timeval tv{timeout_, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        }
        fd_ = fd;
        break;
    }
    if (listen_fd_ >= 0 && tls_ && require_resume_) {
        // Proven by TLS: nobody else can use the port any more.
        ::close(listen_fd_);
        listen_fd_ = -1;
    }
    if (look_for_second_connection()) {
        *error = "a second data connection from the client's address arrived";
        return false;
    }
    return true;
}

bool DataConnection::look_for_second_connection()
{
    while (listen_fd_ >= 0 && !contested_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0)
            break;
        sockaddr_storage from{};
        socklen_t flen = sizeof from;
        int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr *>(&from), &flen, SOCK_CLOEXEC);
        if (fd < 0)
            break;
        if (same_host(from, peer_)) {
            log_error("a second data connection from %s: the data port may have been taken by another program; "
                      "the transfer fails",
                      host_text(from).c_str());
            contested_ = true;
        }
        ::close(fd);
    }
    return contested_;
}

bool DataConnection::contested()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return look_for_second_connection();
}

bool DataConnection::send_all(const char *data, size_t length)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0 || aborted_ || look_for_second_connection())
        return false;
    if (tls_) {
        if (!tls_->write_all(data, length, timeout_ * 1000))
            return false;
        moved_ += length;
        return true;
    }
    while (length > 0) {
        ssize_t n = ::send(fd_, data, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
        moved_ += static_cast<uint64_t>(n);
    }
    return true;
}

void DataConnection::close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    int fd = fd_.exchange(-1);
    if (fd >= 0) {
        if (tls_ && !aborted_)
            tls_->shutdown(timeout_ * 1000); // close_notify: the end of the data is authentic
        tls_.reset();
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
    }
}

void DataConnection::abort()
{
    aborted_ = true;
    int fd = fd_.load();
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

orvel_result_t DataConnection::fail(const char *what, int err)
{
    if (aborted_)
        return orvel_error_put(orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 426, "TRANSFER_ABORTED", "%s",
                                                                      "Transfer aborted by the client."));
    if (contested_)
        return orvel_error_put(orvel_gfs_ftp_response_error_construct(
            nullptr, nullptr, 426, "DATA_CONNECTION_CONTESTED", "%s",
            "A second data connection arrived from the client's address: another program may have taken the "
            "data port. Transfer failed; use TLS (AUTH TLS, PROT P) to protect data connections."));
    if (err == 0)
        return orvel_error_put(
            orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 425, "NO_DATA_CONNECTION", "%s", what));
    return orvel_error_put(orvel_i_gfs_error_system(426, err, "System error%s%s", " in ", what));
}

orvel_result_t DataConnection::read(void *buffer, size_t length, size_t *nread, bool *eof)
{
    *nread = 0;
    *eof = false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (eof_seen_) {
        *eof = true;
        return ORVEL_SUCCESS;
    }
    if (fd_ < 0 || aborted_ || look_for_second_connection())
        return fail("Data connection is not open.", 0);
    if (tls_) {
        size_t got = 0;
        while (got < length) {
            ssize_t n = tls_->read(static_cast<char *>(buffer) + got, length - got, timeout_ * 1000);
            if (n < 0 || aborted_)
                return fail("TLS read", aborted_ ? 0 : errno);
            if (n == 0) {
                eof_seen_ = true;
                break;
            }
            got += static_cast<size_t>(n);
        }
        // The end of the data counts only when nobody else connected.
        if (eof_seen_ && look_for_second_connection())
            return fail("Data connection contested.", 0);
        *eof = eof_seen_;
        *nread = got;
        moved_ += got;
        return ORVEL_SUCCESS;
    }
    for (;;) {
        ssize_t n = ::recv(fd_, buffer, length, MSG_WAITALL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail("recv", errno == EAGAIN ? ETIMEDOUT : errno);
        if (aborted_)
            return fail("recv", 0);
        if (n == 0 && look_for_second_connection())
            return fail("Data connection contested.", 0);
        if (n == 0) {
            eof_seen_ = true;
            *eof = true;
        }
        *nread = static_cast<size_t>(n);
        moved_ += static_cast<uint64_t>(n);
        return ORVEL_SUCCESS;
    }
}

orvel_result_t DataConnection::write(const void *buffer, size_t length, int64_t offset)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0 || aborted_ || look_for_second_connection())
        return fail("Data connection is not open.", 0);
    // Stream mode sends bytes in file order: a write must continue the last.
    if (next_offset_ >= 0 && offset != next_offset_)
        return orvel_error_put(orvel_gfs_ftp_response_error_construct(
            nullptr, nullptr, 451, "OUT_OF_ORDER_DATA", "Data at offset %lld, expected %lld.",
            static_cast<long long>(offset), static_cast<long long>(next_offset_)));
    if (tls_) {
        if (!tls_->write_all(buffer, length, timeout_ * 1000))
            return fail("TLS write", aborted_ ? 0 : (errno != 0 ? errno : ECONNRESET));
        moved_ += length;
        next_offset_ = offset + static_cast<int64_t>(length);
        return ORVEL_SUCCESS;
    }
    const char *p = static_cast<const char *>(buffer);
    size_t left = length;
    while (left > 0) {
        ssize_t n = ::send(fd_, p, left, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail("send", errno == EAGAIN ? ETIMEDOUT : errno);
        }
        p += n;
        left -= static_cast<size_t>(n);
        moved_ += static_cast<uint64_t>(n);
    }
    next_offset_ = offset + static_cast<int64_t>(length);
    return ORVEL_SUCCESS;
}

} // namespace orvel::server
