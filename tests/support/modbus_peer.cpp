// An independent Modbus RTU slave, libmodbus rather than our own code, on a
// fresh pseudo-terminal. Prints the path of the serial side, holds register 3
// equal to its address, and after a write to register 3 answers at the
// written value, as a relay does.
//   modbus-peer [ADDRESS]        (default 5)

#include "pty.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <modbus.h>

int main(int argc, char* argv[]) {
    const int address = argc > 1 ? std::atoi(argv[1]) : 5;
    if (address < 1 || address > 247) {
        std::fprintf(stderr, "modbus-peer: address 1..247\n");
        return 2;
    }
    Pty pty;
    if (!pty.isValid()) {
        std::fprintf(stderr, "modbus-peer: no pseudo-terminal\n");
        return 1;
    }
    // libmodbus never opens this device: it is handed the master side instead.
    modbus_t* ctx = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, 4, 0);
    if (!ctx || !map) return 1;
    modbus_set_slave(ctx, address);
    modbus_set_socket(ctx, pty.masterFd());
    // After a frame libmodbus waits one byte timeout for more. At its default
    // of 500 ms, the master's own reply wait, a request sent on time would
    // run into the frame before it.
    modbus_set_byte_timeout(ctx, 0, 100000);
    map->tab_registers[3] = static_cast<uint16_t>(address);

    std::printf("%s\n", pty.slavePath().toLocal8Bit().constData());
    std::fflush(stdout);

    uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const int length = modbus_receive(ctx, request);
        if (length == 0) continue; // for another slave
        if (length < 0) {
            if (errno == EBADF || errno == EIO) break;
            continue; // a bad check value or a broken frame: a slave stays silent
        }
        modbus_reply(ctx, request, length, map);
        if (request[1] == 0x06 && request[2] == 0 && request[3] == 3) {
            const int now = map->tab_registers[3];
            modbus_set_slave(ctx, now);
            std::fprintf(stderr, "modbus-peer: address now %d\n", now);
        }
    }
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}
