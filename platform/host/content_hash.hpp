// The storage service's content hash: SHA-256 of every 4,194,304-byte block,
// then SHA-256 of the concatenated raw block digests.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

namespace orvel::host::detail {

class ContentHash {
public:
    static constexpr size_t kBlockBytes = 4194304;
    static constexpr size_t kDigestBytes = 32;
    ContentHash();
    ~ContentHash();
    ContentHash(const ContentHash &) = delete;
    ContentHash &operator=(const ContentHash &) = delete;
    bool ok() const { return ok_; }
    bool update(const unsigned char *data, size_t length);
    // Finishes the hash; the object cannot be updated afterwards.
    bool finish(unsigned char out[kDigestBytes]);

private:
    bool close_block();
    EVP_MD_CTX *block_ = nullptr;   // digest of the current block
    EVP_MD_CTX *overall_ = nullptr; // digest of the block digests
    size_t in_block_ = 0;           // bytes in the current block
    bool ok_ = false;
};

} // namespace orvel::host::detail
