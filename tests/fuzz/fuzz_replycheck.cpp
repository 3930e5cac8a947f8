// The reply check against a second, independent statement of its rule:
// a reply passes only in the 8-byte layout or as a fresh standard 7-byte
// answer to a read; nothing else may ever print "CORRECTO".
#include "link/crc.h"
#include "link/replycheck.h"
#include "scriptedrelay.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool checkAt(const uint8_t* bytes, int covered) {
    const QByteArray framed =
        ScriptedRelay::withCrc(QByteArray(reinterpret_cast<const char*>(bytes), covered));
    return static_cast<uint8_t>(framed[covered]) == bytes[covered] &&
           static_cast<uint8_t>(framed[covered + 1]) == bytes[covered + 1];
}

bool accepted(const uint8_t* tx, const uint8_t* rx, int fresh) {
    bool eight = checkAt(rx, 6) && rx[0] == tx[0] && rx[1] == tx[1];
    if (tx[1] == 3) eight = eight && rx[2] == 2;
    if (tx[1] == 6) eight = eight && std::memcmp(rx + 2, tx + 2, 4) == 0;
    const bool seven =
        tx[1] == 3 && fresh >= 7 && rx[0] == tx[0] && rx[1] == 3 && rx[2] == 2 && checkAt(rx, 5);
    return eight || seven;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 17) return 0;
    uint8_t tx[21] = {};
    uint8_t rx[21] = {};
    std::memcpy(tx, data, 8);
    std::memcpy(rx, data + 8, 8);
    const int fresh = data[16] % 22;
    const uint8_t verdict = ReplyErrorFlag(tx, rx, CRC16(rx, 6), fresh);
    if (verdict > 1) std::abort();
    if ((verdict == 0) != accepted(tx, rx, fresh)) std::abort();
    return 0;
}
