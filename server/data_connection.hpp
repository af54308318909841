// Data connections: passive (PASV/EPSV: the listening socket and the
// accepted connection) or active (PORT/EPRT: a connection to the client),
// in clear text or TLS (PROT P). The connection is the data channel handed
// to the host library.
#pragma once

#include "orvel_host.hpp"
#include "tls.hpp"

#include <memory>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace orvel::server {

// The address of a socket address without the port; an IPv4 client on an
// IPv6 socket is written as IPv4.
std::string host_text(const sockaddr_storage &addr);

// Opens a listening socket on the address family and address of `local`
// (the control connection's own address), on a port from [low, high] or an
// ephemeral one when low is 0. Returns the socket or -1 with *error set.
int open_passive_listener(const sockaddr_storage &local, int low, int high, int *port_out, std::string *error);

// The client's data connection. It is opened lazily, when the transfer
// begins (after the 150 reply), so that a request refused before any data
// flows never waits for a connection.
//
// Who may connect: only a peer with the control connection's address. With
// TLS whose session resumption is required, only a peer that resumes the
// control connection's TLS session; other connections are refused and the
// wait goes on. Otherwise (clear text, or TLS without that proof) a second
// connection from the client's address while the transfer runs means that
// another program may have taken the port first: the transfer fails
// (contested()), so that the client is never told it succeeded.
//
// read() and write() may be called from threads other than the session's.
class DataConnection : public orvel::host::DataChannel {
public:
    // Passive: accepts on `listen_fd` (taken over).
    DataConnection(int listen_fd, const sockaddr_storage &control_peer, int timeout_seconds);
    // Active: connects from `local` (the control connection's own address,
    // any port) to `target`, which the caller has checked is the client's.
    DataConnection(const sockaddr_storage &local, const sockaddr_storage &target, int timeout_seconds);
    ~DataConnection() override;
    DataConnection(const DataConnection &) = delete;
    DataConnection &operator=(const DataConnection &) = delete;

    // Protects the connection with TLS (PROT P), as the TLS server. With
    // `require_resume`, the client must resume the session of `control`.
    void protect(const TlsContext *context, TlsStream *control, bool require_resume);

    // Opens the connection (idempotent). False with *error on timeout or
    // failure; read and write then fail too.
    bool open(std::string *error);
    // True when a second connection from the client's address was seen
    // (looks once more now): the transfer must not be reported complete.
    bool contested();
    bool is_open() const { return fd_ >= 0; }
    // Sends bytes in order (listings).
    bool send_all(const char *data, size_t length);
    // Ends the connection: the client sees end of data.
    void close();
    // Makes pending and later reads and writes fail (ABOR from the control
    // channel while a transfer runs). Safe from any thread.
    void abort();
    bool aborted() const { return aborted_; }
    uint64_t bytes_moved() const { return moved_; }

    orvel_result_t read(void *buffer, size_t length, size_t *nread, bool *eof) override;
    orvel_result_t write(const void *buffer, size_t length, int64_t offset) override;

private:
    orvel_result_t fail(const char *what, int err);
    int accept_client(time_t deadline, std::string *error);
    int connect_client(time_t deadline, std::string *error);
    bool look_for_second_connection(); // with mutex_ held

    std::mutex mutex_;
    int listen_fd_;
    std::atomic<int> fd_{-1};
    sockaddr_storage peer_;
    sockaddr_storage local_{}; // active mode: our end
    bool active_ = false;
    int timeout_;
    const TlsContext *tls_context_ = nullptr;
    TlsStream *control_tls_ = nullptr;
    bool require_resume_ = false;
    std::unique_ptr<TlsStream> tls_;
    std::atomic<bool> contested_{false};
    std::atomic<bool> aborted_{false};
    std::atomic<uint64_t> moved_{0};
    int64_t next_offset_ = -1;
    bool eof_seen_ = false;
    bool open_failed_ = false;
};

} // namespace orvel::server
