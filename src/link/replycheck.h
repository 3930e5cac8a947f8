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

// What came back when bytes came but the reply was refused: the device's
// Modbus exception, or bytes that no check lets through.
struct ReplyFault {
    enum Kind : uint8_t { None, Unreadable, Exception };
    Kind kind = None;
    uint8_t code = 0; // the exception code

    bool operator==(const ReplyFault& o) const { return kind == o.kind && code == o.code; }
};

// Names the fault of a refused reply in rx, the bytes the wait judged: an
// exception is the request's address, its function with bit 7 set, a code
// and a right check value over those three.
ReplyFault ClassifyRefused(const uint8_t* tx, const uint8_t* rx);
