#pragma once

#include <cstdint>

// Verdict of one reply wait: 0 when the reply in rx[0..7] answers the request
// in tx[0..7], 1 otherwise (the transaction's error flag).
//
// rx is judged as it stands, including bytes older than this wait. crc is
// CRC16(rx, 6), which the transaction has computed already. freshBytes
// is how many leading bytes of rx were stored during this wait; only a
// standard 7-byte answer to function 3 needs it, since its check value sits
// in rx[5..6] and rx[7] is then whatever was left there before.
uint8_t ReplyErrorFlag(const uint8_t* tx, const uint8_t* rx, int32_t crc, int freshBytes);
