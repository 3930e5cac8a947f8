#pragma once

#include <array>
#include <cstdint>

// Modbus RTU check value (CRC-16/MODBUS) of Message(0) .. Message(lbuf - 1),
// computed bit by bit. Only the low 16 bits of the result carry meaning.
int32_t CRC16(const uint8_t* Message, int16_t lbuf);

// The four bytes of lng, least significant first, on any host.
std::array<uint8_t, 4> LongToByteArray(int32_t lng);
