// The checksum facility: streaming digests by algorithm name.
#include "content_hash.hpp"
#include "orvel_gridftp_server.h"
#include "quickxor.hpp"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <strings.h>

namespace {

enum class Algorithm { Md5, Sha1, Sha256, Sha512, Adler32, QuickXor, ContentHash };

struct AlgorithmName {
    const char *name;
    Algorithm algorithm;
};

constexpr AlgorithmName kAlgorithms[] = {
    {"MD5", Algorithm::Md5},
    {"SHA1", Algorithm::Sha1},
    {"SHA256", Algorithm::Sha256},
    {"SHA512", Algorithm::Sha512},
    {"ADLER32", Algorithm::Adler32},
    {"QUICKXORHEX", Algorithm::QuickXor},
    {"DROPBOX", Algorithm::ContentHash},
};

orvel_result_t checksum_error(int code, const char *error_code, const std::string &message)
{
    return orvel_error_put(
        orvel_gfs_ftp_response_error_construct(nullptr, nullptr, code, error_code, "%s", message.c_str()));
}

char *hex_text(const unsigned char *bytes, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    char *text = static_cast<char *>(malloc(size * 2 + 1));
    if (text == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 15];
    }
    text[size * 2] = '\0';
    return text;
}

} // namespace

struct orvel_gfs_checksum_state_s {
    Algorithm algorithm = Algorithm::Md5;
    EVP_MD_CTX *md = nullptr; // MD5, SHA*
    uLong adler = 0;
    orvel::host::detail::QuickXorHash quickxor;
    orvel::host::detail::ContentHash *content = nullptr;

    ~orvel_gfs_checksum_state_s()
    {
        EVP_MD_CTX_free(md);
        delete content;
    }
};

extern "C" {

orvel_result_t orvel_gfs_checksum_init(const char *algorithm, orvel_gfs_checksum_state_t *state_out)
{
    if (state_out == nullptr) {
        return checksum_error(500, "INTERNAL_ERROR", "Checksum initialisation without an output context");
    }
    *state_out = nullptr;
    const AlgorithmName *found = nullptr;
    if (algorithm != nullptr) {
        for (const AlgorithmName &entry : kAlgorithms) {
            if (strcasecmp(entry.name, algorithm) == 0) {
                found = &entry;
                break;
            }
        }
    }
    if (found == nullptr) {
        return checksum_error(500, "UNSUPPORTED_ALGORITHM",
                              std::string("Checksum algorithm \"") + (algorithm != nullptr ? algorithm : "") +
                                  "\" is not supported (supported: MD5, SHA1, SHA256, SHA512, ADLER32, "
                                  "QUICKXORHEX, DROPBOX)");
    }
    auto *state = new (std::nothrow) orvel_gfs_checksum_state_s();
    if (state == nullptr) {
        return orvel_error_put(orvel_i_gfs_error_system(0, ENOMEM, "System error%s%s", " in ", "malloc"));
    }
    state->algorithm = found->algorithm;
    bool ok = true;
    const EVP_MD *md = nullptr;
    switch (found->algorithm) {
    case Algorithm::Md5:
        md = EVP_md5();
        break;
    case Algorithm::Sha1:
        md = EVP_sha1();
        break;
    case Algorithm::Sha256:
        md = EVP_sha256();
        break;
    case Algorithm::Sha512:
        md = EVP_sha512();
        break;
    case Algorithm::Adler32:
        state->adler = adler32(0L, Z_NULL, 0);
        break;
    case Algorithm::QuickXor:
        break;
    case Algorithm::ContentHash:
        state->content = new (std::nothrow) orvel::host::detail::ContentHash();
        ok = state->content != nullptr && state->content->ok();
        break;
    }
    if (md != nullptr) {
        state->md = EVP_MD_CTX_new();
        ok = state->md != nullptr && EVP_DigestInit_ex(state->md, md, nullptr) == 1;
    }
    if (!ok) {
        delete state;
        return checksum_error(500, "INTERNAL_ERROR", std::string("Cannot initialise the ") + found->name + " digest");
    }
    *state_out = state;
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_gfs_checksum_update(orvel_gfs_checksum_state_t state, const unsigned char *buffer, size_t length)
{
    if (state == nullptr) {
        return checksum_error(500, "INTERNAL_ERROR", "Checksum update without a context");
    }
    if (length == 0) {
        return ORVEL_SUCCESS;
    }
    if (buffer == nullptr) {
        return checksum_error(500, "INTERNAL_ERROR", "Checksum update without data");
    }
    bool ok = true;
    switch (state->algorithm) {
    case Algorithm::Md5:
    case Algorithm::Sha1:
    case Algorithm::Sha256:
    case Algorithm::Sha512:
        ok = EVP_DigestUpdate(state->md, buffer, length) == 1;
        break;
    case Algorithm::Adler32:
        // zlib takes lengths as uInt: feed large buffers in pieces.
        while (length > 0) {
            uInt n = static_cast<uInt>(std::min<size_t>(length, 1u << 30));
            state->adler = adler32(state->adler, buffer, n);
            buffer += n;
            length -= n;
        }
        break;
    case Algorithm::QuickXor:
        state->quickxor.update(buffer, length);
        break;
    case Algorithm::ContentHash:
        ok = state->content->update(buffer, length);
        break;
    }
    if (!ok) {
        return checksum_error(500, "INTERNAL_ERROR", "Checksum update failed");
    }
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_gfs_checksum_finalize(orvel_gfs_checksum_state_t state, char **digest_out)
{
    if (digest_out != nullptr) {
        *digest_out = nullptr;
    }
    if (state == nullptr || digest_out == nullptr) {
        delete state;
        return checksum_error(500, "INTERNAL_ERROR", "Checksum finalisation without a context or output");
    }
    char *text = nullptr;
    bool ok = true;
    switch (state->algorithm) {
    case Algorithm::Md5:
    case Algorithm::Sha1:
    case Algorithm::Sha256:
    case Algorithm::Sha512: {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        ok = EVP_DigestFinal_ex(state->md, digest, &size) == 1;
        if (ok) {
            text = hex_text(digest, size);
        }
        break;
    }
    case Algorithm::Adler32: {
        char buffer[16];
        snprintf(buffer, sizeof buffer, "%08lx", static_cast<unsigned long>(state->adler & 0xffffffffUL));
        text = strdup(buffer);
        break;
    }
    case Algorithm::QuickXor: {
        unsigned char digest[orvel::host::detail::QuickXorHash::kDigestBytes];
        state->quickxor.digest(digest);
        text = hex_text(digest, sizeof digest);
        break;
    }
    case Algorithm::ContentHash: {
        unsigned char digest[orvel::host::detail::ContentHash::kDigestBytes];
        ok = state->content->finish(digest);
        if (ok) {
            text = hex_text(digest, sizeof digest);
        }
        break;
    }
    }
    delete state;
    if (!ok) {
        return checksum_error(500, "INTERNAL_ERROR", "Checksum finalisation failed");
    }
    if (text == nullptr) {
        return orvel_error_put(orvel_i_gfs_error_system(0, ENOMEM, "System error%s%s", " in ", "malloc"));
    }
    *digest_out = text;
    return ORVEL_SUCCESS;
}

void orvel_gfs_checksum_abort(orvel_gfs_checksum_state_t state)
{
    delete state;
}

} // extern "C"
