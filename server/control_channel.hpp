// The control connection's transport: the client's socket, in clear text or
// under TLS after AUTH TLS (or from the start on the implicit-TLS port).
// Replies may be written by one thread while another reads commands (the
// ABOR watch during transfers).
#pragma once

#include "tls.hpp"

#include <memory>
#include <string>
#include <sys/types.h>

namespace orvel::server {

class ControlChannel {
public:
    // Takes the connected socket; makes it non-blocking, with TCP_NODELAY
    // (replies are small and must not wait for more to send).
    explicit ControlChannel(int fd);
    ~ControlChannel();
    ControlChannel(const ControlChannel &) = delete;
    ControlChannel &operator=(const ControlChannel &) = delete;

    int fd() const { return fd_; }
    // Runs the TLS handshake; false with *error when it fails (the
    // connection is then unusable).
    bool start_tls(const TlsContext &context, int timeout_ms, std::string *error);
    bool secure() const { return tls_ != nullptr; }
    TlsStream *tls() const { return tls_.get(); }

    // Waits until input may be read: 1 = readable, 0 = timeout, -1 = error,
    // 2 = `stop_fd` became readable first (-1 = none).
    int wait_readable(int timeout_ms, int stop_fd = -1);
    // Reads what is there without waiting: > 0 bytes, 0 = the client closed,
    // -1 = error, -2 = nothing complete yet (wait again).
    ssize_t read_some(char *buffer, size_t length);
    // Writes all of `text` within timeout_ms; false when the client is gone
    // or does not read.
    bool write_all(const std::string &text, int timeout_ms);

private:
    int fd_;
    std::unique_ptr<TlsStream> tls_;
};

} // namespace orvel::server
