#include "link/crc.h"

int32_t CRC16(const uint8_t* Message, int16_t lbuf) {
    // Held in 32 bits, as the result is: the polynomial's sign extension
    // sets bits 16..31, which the next shift clears again; nobody reads them.
    uint32_t value = 0xFFFFFFFFu;
    for (int16_t i = 0; i < lbuf; ++i) {
        value ^= Message[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool carry = (value & 1u) != 0;
            value = (value >> 1) & 0x7FFFu;
            if (carry) value ^= 0xFFFFA001u;
        }
    }
    return static_cast<int32_t>(value);
}

std::array<uint8_t, 4> LongToByteArray(int32_t lng) {
    const auto u = static_cast<uint32_t>(lng);
    return {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
            static_cast<uint8_t>(u >> 24)};
}
