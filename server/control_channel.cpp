// The control connection's transport, clear text or TLS.
#include "control_channel.hpp"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvel::server {

ControlChannel::ControlChannel(int fd) : fd_(fd)
{
    int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

ControlChannel::~ControlChannel()
{
    if (tls_)
        tls_->shutdown(1000);
    tls_.reset();
    ::close(fd_);
}

bool ControlChannel::start_tls(const TlsContext &context, int timeout_ms, std::string *error)
{
    tls_ = TlsStream::accept(context, fd_, TlsStream::Role::control, timeout_ms, error);
    return tls_ != nullptr;
}

int ControlChannel::wait_readable(int timeout_ms, int stop_fd)
{
    if (tls_ && tls_->has_buffered_input())
        return 1;
    pollfd p[2] = {{fd_, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    for (;;) {
        int r = ::poll(p, stop_fd >= 0 ? 2 : 1, timeout_ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return r;
        if (stop_fd >= 0 && p[1].revents)
            return 2;
        return 1;
    }
}

ssize_t ControlChannel::read_some(char *buffer, size_t length)
{
    if (tls_)
        return tls_->read(buffer, length, 0);
    for (;;) {
        ssize_t n = ::recv(fd_, buffer, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return -2;
        return n;
    }
}

bool ControlChannel::write_all(const std::string &text, int timeout_ms)
{
    if (tls_)
        return tls_->write_all(text.data(), text.size(), timeout_ms);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    const char *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::send(fd_, p, left, MSG_NOSIGNAL);
        if (n >= 0) {
            p += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd_, POLLOUT, 0};
        if (wait.count() <= 0 || (::poll(&pfd, 1, static_cast<int>(wait.count())) == 0))
            return false; // the client stopped reading its replies
    }
    return true;
}

} // namespace orvel::server
