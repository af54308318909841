// QuickXorHash: a 160-bit digest in which byte k of the input is XORed into
// the state at bit position 11 * k (mod 160), wrapping around, and the input
// length is XORed little-endian into the last 8 bytes at the end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvel::host::detail {

class QuickXorHash {
public:
    static constexpr size_t kDigestBytes = 20;
    static constexpr size_t kPeriod = 160; // byte k and byte k + 160 land on the same bits
    void update(const unsigned char *data, size_t length);
    // The 20-byte digest; the state is left unchanged.
    void digest(unsigned char out[kDigestBytes]) const;

private:
    // Bytes folded by their index modulo 160: the bit position depends on
    // nothing else, so the rotation into the state is done once at the end.
    unsigned char fold_[kPeriod] = {};
    uint64_t length_ = 0; // bytes seen
};

} // namespace orvel::host::detail
