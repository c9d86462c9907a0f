#include <cstring>
#include <string>

#include "board_report.h"
#include "cli.h"
#include "libkelupg.h"

namespace {
// The serial manager needs a probe round trip or two before the line counts as connected.
constexpr int kSerialConnectWaitMs = 5000;
}  // namespace

void kelcli_help_probe(FILE *out) {
    fprintf(out,
            "Usage: kelflash-cli probe [-v] (--usb BUS:PORTS | --serial PORT)\n"
            "\n"
            "Asks a board in upgrade mode what it is: boot stage (BROM or U-Boot), the\n"
            "security settings, its boot devices and, in U-Boot, its storage media.\n"
            "\n"
            "  --usb BUS:PORTS  the board's USB location as 'devices' lists it, e.g. 1:2-3\n"
            "  --serial PORT    a serial port, e.g. /dev/ttyUSB0 or ttyUSB0\n");
}

int kelcli_cmd_probe(int argc, char **argv) {
    std::string usb, serial;
    for (int i = 1; i < argc; ++i) {
        if (kelcli_is_help(argv[i])) {
            kelcli_help_probe(stdout);
            return KELCLI_OK;
        }
        if (kelcli_take_verbose(argv[i]))
            continue;
        if (strcmp(argv[i], "--usb") == 0 || strcmp(argv[i], "--serial") == 0) {
            if (i + 1 >= argc)
                return kelcli_usage_error("probe", "%s needs a value", argv[i]);
            (argv[i][2] == 'u' ? usb : serial) = argv[i + 1];
            ++i;
            continue;
        }
        return kelcli_usage_error("probe", "unexpected argument '%s'", argv[i]);
    }
    if (usb.empty() == serial.empty())
        return kelcli_usage_error("probe", "give exactly one of --usb and --serial");
    if (!usb.empty()) {
        uint8_t bus;
        uint8_t port[UPG_PORT_PATH_LEN];
        if (upg_dev_parse_location(usb.c_str(), &bus, port) != 0)
            return kelcli_usage_error("probe", "'%s' is no USB location (BUS:PORTS, e.g. 1:2-3)",
                                      usb.c_str());
    }

    if (libkelupg_init() != 0)
        return kelcli_fail("cannot initialise USB access");
    int status = KELCLI_FAIL;
    upg_device *dev = usb.empty() ? board_open_serial(serial, kSerialConnectWaitMs, stderr)
                                  : board_open_usb(usb, stderr);
    if (dev) {
        printf("Device:          %s %s\n", usb.empty() ? "serial" : "USB",
               usb.empty() ? serial.c_str() : usb.c_str());
        if (board_report(dev, !usb.empty(), stdout, stderr) == 0)
            status = KELCLI_OK;
        if (usb.empty())
            upg_uart_dev_close(dev);
        else
            upg_usb_dev_close(dev);
    }
    libkelupg_exit();
    return status;
}
