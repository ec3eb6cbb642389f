/* A ModBus RTU slave built on libmodbus, so that the master is checked against a
 * peer written by others.
 *
 *   modbus_rtu_slave DEVICE SLAVE_ID
 *
 * Holding register i holds 0x1000 + i and input register i holds 0x2000 + i, for i
 * below RegisterCount. Prints "ready" once the device is open and serves requests
 * until killed or until the device fails. */

#include <modbus/modbus.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

enum { RegisterCount = 200 };

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s DEVICE SLAVE_ID\n", argv[0]);
        return 2;
    }
    const int slave = atoi(argv[2]);

    modbus_t* ctx = modbus_new_rtu(argv[1], 19200, 'N', 8, 1);
    if (ctx == NULL || modbus_set_slave(ctx, slave) != 0) {
        fprintf(stderr, "modbus_new_rtu: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_mapping_t* map = modbus_mapping_new(0, 0, RegisterCount, RegisterCount);
    if (map == NULL) {
        fprintf(stderr, "modbus_mapping_new: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < RegisterCount; ++i) {
        map->tab_registers[i] = (uint16_t)(0x1000 + i);
        map->tab_input_registers[i] = (uint16_t)(0x2000 + i);
    }
    if (modbus_connect(ctx) != 0) {
        fprintf(stderr, "modbus_connect %s: %s\n", argv[1], modbus_strerror(errno));
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const int rc = modbus_receive(ctx, query);
        if (rc > 0) {
            modbus_reply(ctx, query, rc, map);
            continue;
        }
        if (rc == 0)
            continue; /* addressed to another slave */
        /* A broken or cut-off frame is the master's business; only a failing device
         * ends the service. */
        if (errno >= MODBUS_ENOBASE || errno == ETIMEDOUT)
            continue;
        fprintf(stderr, "modbus_receive: %s\n", modbus_strerror(errno));
        break;
    }
    modbus_mapping_free(map);
    modbus_close(ctx);
    modbus_free(ctx);
    return 1;
}
