#include <cstring>

#include "board_report.h"
#include "cli.h"
#include "extraserialports.h"
#include "libkelupg.h"
#include "serial_ports.h"

void kelcli_help_devices(FILE *out) {
    fprintf(out,
            "Usage: kelflash-cli devices [-v]\n"
            "\n"
            "Lists the boards waiting in upgrade mode on USB (as BUS:PORTS, e.g. 1:2-3,\n"
            "the form 'probe --usb' takes) and the serial ports a board could sit behind,\n"
            "those named in KELFLASH_EXTRA_SERIAL_PORTS (a simulator's pty, a port bridged\n"
            "by socat or ser2net; blank-separated) first.\n");
}

int kelcli_cmd_devices(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (kelcli_is_help(argv[i])) {
            kelcli_help_devices(stdout);
            return KELCLI_OK;
        }
        if (kelcli_take_verbose(argv[i]))
            continue;
        return kelcli_usage_error("devices", "unexpected argument '%s'", argv[i]);
    }
    if (libkelupg_init() != 0)
        return kelcli_fail("cannot initialise USB access");
    upg_dev_info *table = nullptr;
    int n = upg_usb_dev_get_list(&table);
    printf("USB upgrade devices:\n");
    if (n <= 0 || !table) {
        printf("  none\n");
    } else {
        for (int i = 0; i < n; i++) {
            char where[40];
            upg_dev_format_location(where, sizeof(where), table[i].bus, table[i].port);
            printf("  %-16s address %u\n", where, unsigned(table[i].addr));
        }
    }
    libkelupg_exit();

    printf("Serial ports:\n");
    QStringList ports;
    for (const std::string &p : serial_port_list())
        ports << QString::fromStdString(p);
    // The ports named in KELFLASH_EXTRA_SERIAL_PORTS or the settings come first.
    ports = withExtraSerialPorts(ports);
    if (ports.empty())
        printf("  none\n");
    for (const QString &p : ports)
        printf("  %s\n", p.toLocal8Bit().constData());
    return KELCLI_OK;
}
