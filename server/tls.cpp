// TLS contexts and server-side TLS connections on OpenSSL.
#include "tls.hpp"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

namespace orvel::server {

namespace {

// The first queued OpenSSL error as text, or `fallback`.
std::string openssl_error(const std::string &fallback)
{
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return fallback;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The first certificate-verification error of a connection, kept beside the
// SSL object: the handshake goes on without a verified certificate (a
// password login stays possible), and a certificate login is refused later
// with this reason.
int verify_error_index()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int record_verify_result(int ok, X509_STORE_CTX *store)
{
    auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    int error = X509_STORE_CTX_get_error(store);
    X509 *cert = X509_STORE_CTX_get_current_cert(store);
    // A proxy certificate's issuer is an end-entity certificate, which
    // publishes no CRL: its revocation is that of the certificates above.
    if (!ok && error == X509_V_ERR_UNABLE_TO_GET_CRL && cert && (X509_get_extension_flags(cert) & EXFLAG_PROXY)) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    if (!ok && ssl && SSL_get_ex_data(ssl, verify_error_index()) == nullptr)
        SSL_set_ex_data(ssl, verify_error_index(), reinterpret_cast<void *>(static_cast<intptr_t>(error)));
    return 1;
}

bool is_directory(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string subject_text(X509 *cert)
{
    char *text = X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0);
    std::string out = text ? text : "";
    OPENSSL_free(text);
    return out;
}

} // namespace

// ------------------------------------------------------------- TlsContext

std::unique_ptr<TlsContext> TlsContext::create(const Settings &settings, std::string *error)
{
    std::unique_ptr<TlsContext> context(new TlsContext());
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        *error = openssl_error("cannot create a TLS context");
        return nullptr;
    }
    context->ctx_ = ctx;
    auto fail = [&](const std::string &path) {
        *error = path + ": " + openssl_error("unusable");
        return nullptr;
    };
    SSL_CTX_set_min_proto_version(ctx, settings.tls_min_version);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Uploads: read records in large gulps rather than header and body apart.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, 256 * 1024);
    if (SSL_CTX_use_certificate_chain_file(ctx, settings.tls_certificate.c_str()) != 1)
        return fail(settings.tls_certificate);
    const std::string &key = settings.tls_key.empty() ? settings.tls_certificate : settings.tls_key;
    if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1)
        return fail(key);
    if (SSL_CTX_check_private_key(ctx) != 1)
        return fail(key);
    // AES-128-GCM first: as strong as needed and the cheapest per byte of
    // bulk data, for this side and for the client.
    SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
    if (!settings.tls_ciphers.empty() && SSL_CTX_set_cipher_list(ctx, settings.tls_ciphers.c_str()) != 1) {
        *error = "tls-ciphers \"" + settings.tls_ciphers + "\": " + openssl_error("no usable cipher");
        return nullptr;
    }
    if (!settings.tls_ca.empty()) {
        if (SSL_CTX_load_verify_locations(ctx, settings.tls_ca.c_str(), nullptr) != 1)
            return fail(settings.tls_ca);
        // Tell clients which authorities their certificate may come from.
        STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(settings.tls_ca.c_str());
        if (names)
            SSL_CTX_set_client_CA_list(ctx, names);
        unsigned long flags = X509_V_FLAG_ALLOW_PROXY_CERTS;
        if (!settings.tls_crl.empty()) {
            X509_STORE *store = SSL_CTX_get_cert_store(ctx);
            bool loaded = is_directory(settings.tls_crl)
                              ? X509_STORE_load_path(store, settings.tls_crl.c_str()) == 1
                              : X509_load_crl_file(X509_STORE_add_lookup(store, X509_LOOKUP_file()),
                                                   settings.tls_crl.c_str(), X509_FILETYPE_PEM) > 0;
            if (!loaded)
                return fail(settings.tls_crl);
            flags |= X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL;
        }
        X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(ctx), flags);
        // The certificate is asked for, not required: password users log in
        // over TLS without one.
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE, record_verify_result);
        context->asks_client_certificates_ = true;
    }
    if (!context->isolate()) {
        *error = openssl_error("cannot set session keys");
        return nullptr;
    }
    return context;
}

TlsContext::~TlsContext()
{
    SSL_CTX_free(ctx_);
}

bool TlsContext::isolate()
{
    unsigned char keys[80];
    unsigned char id_context[SSL_MAX_SID_CTX_LENGTH];
    if (RAND_bytes(keys, sizeof keys) != 1 || RAND_bytes(id_context, sizeof id_context) != 1)
        return false;
    return SSL_CTX_set_tlsext_ticket_keys(ctx_, keys, sizeof keys) == 1 &&
           SSL_CTX_set_session_id_context(ctx_, id_context, sizeof id_context) == 1;
}

// -------------------------------------------------------------- TlsStream

std::unique_ptr<TlsStream> TlsStream::accept(const TlsContext &context, int fd, Role role, int timeout_ms,
                                             std::string *error)
{
    SSL *ssl = SSL_new(context.get());
    if (!ssl) {
        *error = openssl_error("cannot create a TLS connection");
        return nullptr;
    }
    std::unique_ptr<TlsStream> stream(new TlsStream(ssl, fd));
    if (role == Role::data) {
        SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
        SSL_set_num_tickets(ssl, 0); // nothing resumable comes from a data connection
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || !stream->attach_socket(role)) {
        *error = "cannot set up the TLS connection";
        return nullptr;
    }
    int ssl_error = 0;
    int r = stream->drive([&] { return SSL_accept(ssl); }, timeout_ms, &ssl_error);
    if (r != 1) {
        if (ssl_error == SSL_ERROR_SYSCALL && errno == ETIMEDOUT)
            *error = "TLS handshake timed out";
        else
            *error = "TLS handshake failed: " + openssl_error("connection closed");
        return nullptr;
    }
    return stream;
}

bool TlsStream::attach_socket(Role role)
{
    BIO *socket_bio = BIO_new_socket(fd_, BIO_NOCLOSE);
    if (!socket_bio)
        return false;
    if (role == Role::control) {
        SSL_set_bio(ssl_, socket_bio, socket_bio);
        return true;
    }
    // Data: records are gathered in a buffer and sent in large writes, not
    // one system call per 16 KiB record; write_all() flushes it.
    BIO *buffer = BIO_new(BIO_f_buffer());
    if (!buffer || BIO_set_write_buffer_size(buffer, 256 * 1024) != 1) {
        BIO_free(buffer);
        BIO_free(socket_bio);
        return false;
    }
    BIO_push(buffer, socket_bio);
    BIO_up_ref(socket_bio); // held by the read side and by the buffer chain
    SSL_set_bio(ssl_, socket_bio, buffer);
    return true;
}

bool TlsStream::flush(std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        bool retry = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            BIO *wbio = SSL_get_wbio(ssl_);
            if (BIO_flush(wbio) > 0)
                return true;
            retry = BIO_should_retry(wbio);
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLOUT, 0};
        if (!retry || left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            errno = retry ? ETIMEDOUT : ECONNRESET;
            return false;
        }
    }
}

TlsStream::~TlsStream()
{
    SSL_free(ssl_);
}

template <class Call>
int TlsStream::drive(Call call, int timeout_ms, int *ssl_error)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int result = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ERR_clear_error();
            result = call();
            *ssl_error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, result);
        }
        if (*ssl_error != SSL_ERROR_WANT_READ && *ssl_error != SSL_ERROR_WANT_WRITE)
            return result;
        if (timeout_ms == 0)
            return result;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            *ssl_error = SSL_ERROR_SYSCALL;
            errno = ETIMEDOUT;
            return -1;
        }
        pollfd p{fd_, static_cast<short>(*ssl_error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            *ssl_error = SSL_ERROR_SYSCALL;
            return -1;
        }
    }
}

ssize_t TlsStream::read(void *buffer, size_t length, int timeout_ms)
{
    int ssl_error = 0;
    size_t got = 0;
    int r = drive([&] { return SSL_read_ex(ssl_, buffer, length, &got); }, timeout_ms, &ssl_error);
    if (r == 1)
        return static_cast<ssize_t>(got);
    if (ssl_error == SSL_ERROR_ZERO_RETURN)
        return 0;
    if (ssl_error == SSL_ERROR_WANT_READ || ssl_error == SSL_ERROR_WANT_WRITE)
        return -2;
    if (ssl_error != SSL_ERROR_SYSCALL || errno == 0)
        errno = ECONNRESET; // includes a connection cut without close_notify
    return -1;
}

bool TlsStream::write_all(const void *buffer, size_t length, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    const char *p = static_cast<const char *>(buffer);
    while (length > 0) {
        int ssl_error = 0;
        size_t written = 0;
        if (drive([&] { return SSL_write_ex(ssl_, p, length, &written); }, timeout_ms, &ssl_error) != 1)
            return false;
        p += written;
        length -= written;
    }
    return flush(deadline);
}

bool TlsStream::has_buffered_input()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return SSL_has_pending(ssl_) == 1;
}

void TlsStream::shutdown(int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int result = 0, ssl_error = SSL_ERROR_NONE;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ERR_clear_error();
            result = SSL_shutdown(ssl_);
            if (result < 0)
                ssl_error = SSL_get_error(ssl_, result);
        }
        // 0: close_notify sent; the peer's is not waited for.
        if (result >= 0) {
            flush(deadline);
            return;
        }
        if (ssl_error != SSL_ERROR_WANT_WRITE)
            return;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return;
    }
}

bool TlsStream::resumes_session_of(TlsStream &control)
{
    std::scoped_lock lock(mutex_, control.mutex_);
    if (SSL_session_reused(ssl_) != 1)
        return false;
    if (SSL_version(ssl_) >= TLS1_3_VERSION)
        return true; // only the control connection's tickets can resume in this process
    // TLS 1.2 resumes the very master secret of the original session.
    SSL_SESSION *mine = SSL_get_session(ssl_);
    SSL_SESSION *theirs = SSL_get_session(control.ssl_);
    if (!mine || !theirs)
        return false;
    unsigned char a[SSL_MAX_MASTER_KEY_LENGTH], b[SSL_MAX_MASTER_KEY_LENGTH];
    size_t la = SSL_SESSION_get_master_key(mine, a, sizeof a);
    size_t lb = SSL_SESSION_get_master_key(theirs, b, sizeof b);
    return la > 0 && la == lb && CRYPTO_memcmp(a, b, la) == 0;
}

void TlsStream::forget_session()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (SSL_SESSION *session = SSL_get_session(ssl_))
        SSL_CTX_remove_session(SSL_get_SSL_CTX(ssl_), session);
}

PeerCertificate TlsStream::peer_certificate()
{
    std::lock_guard<std::mutex> lock(mutex_);
    PeerCertificate out;
    X509 *leaf = SSL_get0_peer_certificate(ssl_);
    if (!leaf)
        return out;
    out.presented = true;
    auto error = static_cast<int>(reinterpret_cast<intptr_t>(SSL_get_ex_data(ssl_, verify_error_index())));
    if (error == X509_V_OK)
        error = static_cast<int>(SSL_get_verify_result(ssl_));
    STACK_OF(X509) *chain = SSL_get0_verified_chain(ssl_);
    out.verified = error == X509_V_OK && chain != nullptr;
    if (!out.verified)
        out.error = X509_verify_cert_error_string(error == X509_V_OK ? X509_V_ERR_UNSPECIFIED : error);
    // The identity is the first certificate that is not a proxy: a proxy
    // certificate speaks for the certificate that issued it.
    X509 *identity = leaf;
    if (out.verified) {
        for (int i = 0; i < sk_X509_num(chain); ++i) {
            identity = sk_X509_value(chain, i);
            if (!(X509_get_extension_flags(identity) & EXFLAG_PROXY))
                break;
        }
    }
    out.subject = subject_text(identity);
    return out;
}

std::string TlsStream::description()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

} // namespace orvel::server
