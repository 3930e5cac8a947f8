// The receive path fed any byte stream in any chunking, with the resets a
// transaction makes in between: RxBuf holds exactly the bytes since the
// last reset (the first 21 of them), RxLen never leaves 0..21, and nothing
// else in the link state changes.
#include "link/modbuslink.h"
#include "link/mscomm.h"

#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
ModbusLink* link = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static int argc = 1;
    static char name[] = "fuzz_receive";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    link = new ModbusLink();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ModbusLink& f = *link;
    f.RxLen = 0;
    f.RxFlag = 0;
    f.RxBuf.fill(0);
    f.TxBuf.fill(0x5A);
    f.CrcValue = 0x1234;
    std::vector<uint8_t> sinceReset;

    size_t i = 0;
    while (i < size) {
        const uint8_t op = data[i++];
        if ((op & 3) == 3) {
            // What a wait that saw a byte does.
            if (f.RxFlag == 1) {
                f.RxFlag = 0;
                f.RxLen = 0;
                sinceReset.clear();
            }
            continue;
        }
        const size_t length = std::min<size_t>(op >> 2, size - i);
        const QByteArray chunk(reinterpret_cast<const char*>(data + i), qsizetype(length));
        i += length;
        emit f.MSComm1->OnComm(chunk);
        sinceReset.insert(sinceReset.end(), data + i - length, data + i);

        if (f.RxLen < 0 || f.RxLen > 21) std::abort();
        const size_t kept = std::min<size_t>(sinceReset.size(), 21);
        if (size_t(f.RxLen) != kept) std::abort();
        if (f.RxFlag != (kept > 0 ? 1 : 0) && !(kept == 0 && f.RxFlag == 0)) std::abort();
        for (size_t k = 0; k < kept; ++k)
            if (f.RxBuf[k] != sinceReset[k]) std::abort();
    }
    for (uint8_t b : f.TxBuf)
        if (b != 0x5A) std::abort();
    if (f.CrcValue != 0x1234) std::abort();
    return 0;
}
