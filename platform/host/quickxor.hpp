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
    void update(const unsigned char *data, size_t length);
    // The 20-byte digest; the state is left unchanged.
    void digest(unsigned char out[kDigestBytes]) const;

private:
    unsigned char state_[kDigestBytes] = {};
    unsigned shift_ = 0;   // bit position of the next byte, 0..159
    uint64_t length_ = 0;  // bytes seen
};

} // namespace orvel::host::detail
