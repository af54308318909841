// QuickXorHash (see quickxor.hpp).
#include "quickxor.hpp"

#include <cstring>

namespace orvel::host::detail {

namespace {
constexpr unsigned kWidthBits = 160;
constexpr unsigned kShift = 11;
} // namespace

void QuickXorHash::update(const unsigned char *data, size_t length) {
    unsigned shift = shift_;
    for (size_t i = 0; i < length; ++i) {
        // The byte covers bits shift..shift+7, possibly two state bytes and
        // across the end of the 160-bit state back to bit 0.
        unsigned value = static_cast<unsigned>(data[i]) << (shift & 7);
        unsigned index = shift >> 3;
        state_[index] ^= static_cast<unsigned char>(value);
        state_[(index + 1) % kDigestBytes] ^= static_cast<unsigned char>(value >> 8);
        shift += kShift;
        if (shift >= kWidthBits) {
            shift -= kWidthBits;
        }
    }
    shift_ = shift;
    length_ += length;
}

void QuickXorHash::digest(unsigned char out[kDigestBytes]) const {
    memcpy(out, state_, kDigestBytes);
    for (unsigned i = 0; i < 8; ++i) {
        out[kDigestBytes - 8 + i] ^= static_cast<unsigned char>(length_ >> (8 * i));
    }
}

} // namespace orvel::host::detail
