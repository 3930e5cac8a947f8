#include "link/replycheck.h"

#include "link/crc.h"

namespace {

// The relay's own layout: always 8 bytes, check value over bytes 0..5.
uint8_t eightByteLayout(const uint8_t* tx, const uint8_t* rx, int32_t crcValue) {
    const auto crc = LongToByteArray(crcValue);
    uint8_t err = 0;
    if (crc[0] != rx[6]) err = 1;
    if (crc[1] != rx[7]) err = 1;
    if (rx[0] != tx[0]) err = 1;
    if (rx[1] != tx[1]) err = 1;
    if (tx[1] == 3 && rx[2] != 2) err = 1;
    if (tx[1] == 6) {
        for (int i = 2; i <= 5; ++i)
            if (rx[i] != tx[i]) err = 1;
    }
    return err;
}

// What a standard Modbus slave sends for "read one holding register".
bool standardReadReply(const uint8_t* tx, const uint8_t* rx, int freshBytes) {
    if (tx[1] != 3 || freshBytes < 7) return false;
    if (rx[0] != tx[0] || rx[1] != 3 || rx[2] != 2) return false;
    const auto crc = LongToByteArray(CRC16(rx, 5));
    return crc[0] == rx[5] && crc[1] == rx[6];
}

} // namespace

uint8_t ReplyErrorFlag(const uint8_t* tx, const uint8_t* rx, int32_t crc, int freshBytes) {
    if (eightByteLayout(tx, rx, crc) == 0) return 0;
    return standardReadReply(tx, rx, freshBytes) ? 0 : 1;
}

ReplyFault ClassifyRefused(const uint8_t* tx, const uint8_t* rx) {
    const auto crc = LongToByteArray(CRC16(rx, 3));
    if (rx[0] == tx[0] && rx[1] == (tx[1] | 0x80) && crc[0] == rx[3] && crc[1] == rx[4])
        return {ReplyFault::Exception, rx[2]};
    return {ReplyFault::Unreadable, 0};
}
