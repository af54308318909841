// The storage service's content hash (see content_hash.hpp).
#include "content_hash.hpp"

#include <algorithm>

namespace orvel::host::detail {

ContentHash::ContentHash()
{
    block_ = EVP_MD_CTX_new();
    overall_ = EVP_MD_CTX_new();
    ok_ = block_ != nullptr && overall_ != nullptr && EVP_DigestInit_ex(block_, EVP_sha256(), nullptr) == 1 &&
          EVP_DigestInit_ex(overall_, EVP_sha256(), nullptr) == 1;
}

ContentHash::~ContentHash()
{
    EVP_MD_CTX_free(block_);
    EVP_MD_CTX_free(overall_);
}

bool ContentHash::close_block()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(block_, digest, &size) != 1 || EVP_DigestUpdate(overall_, digest, size) != 1 ||
        EVP_DigestInit_ex(block_, EVP_sha256(), nullptr) != 1) {
        ok_ = false;
        return false;
    }
    in_block_ = 0;
    return true;
}

bool ContentHash::update(const unsigned char *data, size_t length)
{
    while (ok_ && length > 0) {
        size_t n = std::min(length, kBlockBytes - in_block_);
        if (EVP_DigestUpdate(block_, data, n) != 1) {
            ok_ = false;
            break;
        }
        in_block_ += n;
        data += n;
        length -= n;
        // A full block is closed right away; an empty last block never
        // counts, so input of exactly N blocks hashes N digests.
        if (in_block_ == kBlockBytes && !close_block()) {
            break;
        }
    }
    return ok_;
}

bool ContentHash::finish(unsigned char out[kDigestBytes])
{
    if (ok_ && in_block_ > 0 && !close_block()) {
        return false;
    }
    unsigned int size = 0;
    if (!ok_ || EVP_DigestFinal_ex(overall_, out, &size) != 1 || size != kDigestBytes) {
        ok_ = false;
        return false;
    }
    ok_ = false;
    return true;
}

} // namespace orvel::host::detail
