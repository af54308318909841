// TLS on OpenSSL for the control channel (AUTH TLS or the implicit-TLS
// listener) and for protected data connections (PROT P).
//
// The server is always the TLS server, on data connections too. A data
// connection proves that it belongs to the client of the control connection
// by resuming the control connection's TLS session: each session process
// gives its TLS context fresh ticket keys and a session id context of its own
// (isolate()), and data connections issue no session of their own, so only
// the session negotiated on this process's control connection can resume.
#pragma once

#include "config.hpp"

#include <openssl/ssl.h>

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace orvel::server {

// The server's TLS configuration: certificate chain, key, the CA bundle that
// verifies client certificates (proxy certificates allowed), CRLs, protocol
// floor and ciphers. Built once at start-up, so that a bad file stops the
// server there, and inherited by every session process.
class TlsContext {
public:
    // Null with *error ("PATH: reason") when a file cannot be used.
    static std::unique_ptr<TlsContext> create(const Settings &settings, std::string *error);
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    // In a session process: new session-ticket keys and a new session id
    // context, so that no other process's TLS sessions resume here.
    bool isolate();
    SSL_CTX *get() const { return ctx_; }
    bool asks_client_certificates() const { return asks_client_certificates_; }

private:
    TlsContext() = default;
    SSL_CTX *ctx_ = nullptr;
    bool asks_client_certificates_ = false;
};

// What a client certificate proves.
struct PeerCertificate {
    bool presented = false; // the client sent a certificate
    bool verified = false;  // it chains to the CA bundle and is not revoked
    std::string error;      // why it is not verified
    std::string subject;    // "/C=../O=../CN=.." of the end-entity certificate: proxy
                            // certificates are skipped to the certificate that issued them
};

// One TLS connection, server side, on a socket that it makes non-blocking.
// read() and write_all() may run on different threads at once: calls into
// the TLS library are serialised, waits for the socket are not.
class TlsStream {
public:
    enum class Role {
        control, // asks for a client certificate when a CA bundle is set
        data,    // no client certificate, issues no session tickets
    };

    // Runs the server handshake on `fd` within timeout_ms. Null with *error
    // on failure. The stream does not own the socket.
    static std::unique_ptr<TlsStream> accept(const TlsContext &context, int fd, Role role, int timeout_ms,
                                             std::string *error);
    ~TlsStream();
    TlsStream(const TlsStream &) = delete;
    TlsStream &operator=(const TlsStream &) = delete;

    // Reads up to `length` bytes: > 0 bytes read, 0 = the peer ended the TLS
    // connection (close_notify), -1 = error or timeout (errno ETIMEDOUT),
    // -2 = nothing ready yet (only with timeout_ms 0, which does not wait).
    ssize_t read(void *buffer, size_t length, int timeout_ms);
    // Writes all bytes within timeout_ms; false on error or timeout.
    bool write_all(const void *buffer, size_t length, int timeout_ms);
    // True when decrypted input is waiting (poll() on the socket cannot tell).
    bool has_buffered_input();
    // Sends close_notify, waiting at most timeout_ms for room to send it
    // (not for the peer's close_notify).
    void shutdown(int timeout_ms);

    // True when this (data) connection resumed the session of `control`.
    bool resumes_session_of(TlsStream &control);
    // Removes this connection's session from the server's cache.
    void forget_session();
    PeerCertificate peer_certificate();
    std::string description(); // "TLSv1.3 TLS_AES_256_GCM_SHA384"

private:
    TlsStream(SSL *ssl, int fd) : ssl_(ssl), fd_(fd) {}
    bool attach_socket(Role role);
    // Sends what the write buffer holds; false on error or at the deadline.
    bool flush(std::chrono::steady_clock::time_point deadline);
    // Runs `call` (one TLS library call) until it completes, waiting for the
    // socket as the library asks, for at most timeout_ms (0 = no wait).
    // Returns the call's result; *ssl_error is SSL_get_error's verdict, or
    // SSL_ERROR_WANT_READ/WRITE when it would wait and timeout_ms is 0.
    template <class Call>
    int drive(Call call, int timeout_ms, int *ssl_error);

    std::mutex mutex_;
    SSL *ssl_;
    int fd_;
};

} // namespace orvel::server
