// QuickXorHash (see quickxor.hpp).
#include "quickxor.hpp"

#include <cstring>

namespace orvel::host::detail {

namespace {
constexpr unsigned kWidthBits = 160;
constexpr unsigned kShift = 11;
} // namespace

void QuickXorHash::update(const unsigned char *data, size_t length)
{
    size_t phase = static_cast<size_t>(length_ % kPeriod);
    length_ += length;
    // Up to the next multiple of 160, then whole periods (which the compiler
    // vectorises), then the rest.
    while (length > 0 && phase != 0) {
        fold_[phase] ^= *data++;
        --length;
        phase = phase + 1 == kPeriod ? 0 : phase + 1;
    }
    while (length >= kPeriod) {
        for (size_t i = 0; i < kPeriod; ++i) {
            fold_[i] ^= data[i];
        }
        data += kPeriod;
        length -= kPeriod;
    }
    for (size_t i = 0; i < length; ++i) {
        fold_[i] ^= data[i];
    }
}

void QuickXorHash::digest(unsigned char out[kDigestBytes]) const
{
    memset(out, 0, kDigestBytes);
    for (unsigned j = 0; j < kPeriod; ++j) {
        // Byte j of every period covers bits shift..shift+7 of the state,
        // possibly across two bytes and across the end back to bit 0.
        unsigned shift = (kShift * j) % kWidthBits;
        unsigned value = static_cast<unsigned>(fold_[j]) << (shift & 7);
        unsigned index = shift >> 3;
        out[index] ^= static_cast<unsigned char>(value);
        out[(index + 1) % kDigestBytes] ^= static_cast<unsigned char>(value >> 8);
    }
    for (unsigned i = 0; i < 8; ++i) {
        out[kDigestBytes - 8 + i] ^= static_cast<unsigned char>(length_ >> (8 * i));
    }
}

} // namespace orvel::host::detail
