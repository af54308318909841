// Passive data connections (PASV/EPSV): the listening socket and the
// accepted connection, which is the data channel handed to the host library.
#pragma once

#include "orvel_host.hpp"

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace orvel::server {

// Opens a listening socket on the address family and address of `local`
// (the control connection's own address), on a port from [low, high] or an
// ephemeral one when low is 0. Returns the socket or -1 with *error set.
int open_passive_listener(const sockaddr_storage &local, int low, int high, int *port_out, std::string *error);

// The client's data connection. It is accepted lazily, when the transfer
// begins (after the 150 reply), so that a request refused before any data
// flows never waits for a connection. Only a peer with the control
// connection's address is accepted.
//
// read() and write() may be called from threads other than the session's.
class DataConnection : public orvel::host::DataChannel {
public:
    DataConnection(int listen_fd, const sockaddr_storage &control_peer, int timeout_seconds);
    ~DataConnection() override;
    DataConnection(const DataConnection &) = delete;
    DataConnection &operator=(const DataConnection &) = delete;

    // Accepts the connection (idempotent). False with *error on timeout or
    // failure; read and write then fail too.
    bool open(std::string *error);
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

    std::mutex mutex_;
    int listen_fd_;
    std::atomic<int> fd_{-1};
    sockaddr_storage peer_;
    int timeout_;
    std::atomic<bool> aborted_{false};
    std::atomic<uint64_t> moved_{0};
    int64_t next_offset_ = -1;
    bool eof_seen_ = false;
    bool open_failed_ = false;
};

} // namespace orvel::server
