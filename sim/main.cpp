// kelsim: the board simulator. "kelsim serial" serves a board behind a pty,
// "kelsim usb ... -- COMMAND" runs a command with a board on an emulated bus,
// "kelsim card ... -- COMMAND" with a simulated SD card, "kelsim gadget ... --
// COMMAND" with a board on the kernel's own USB stack (a gadget).
#include "card_cli.h"
#include "gadget_cli.h"
#include "serial_cli.h"
#include "usb_cli.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "serial") == 0)
        return kelsim_serial_main(argc - 1, argv + 1);
    if (argc >= 2 && std::strcmp(argv[1], "usb") == 0)
        return kelsim_usb_main(argc - 1, argv + 1);
    if (argc >= 2 && std::strcmp(argv[1], "card") == 0)
        return kelsim_card_main(argc - 1, argv + 1);
    if (argc >= 2 && std::strcmp(argv[1], "gadget") == 0)
        return kelsim_gadget_main(argc - 1, argv + 1);
    std::fprintf(argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? stdout : stderr,
                 "usage: kelsim serial [options]      a board behind a pty (--help for more)\n"
                 "       kelsim usb [options] -- COMMAND [ARGS...]\n"
                 "                                    COMMAND runs with a board on a USB bus\n"
                 "       kelsim card [options] -- COMMAND [ARGS...]\n"
                 "                                    COMMAND runs with a simulated SD card\n"
                 "       kelsim gadget [options] -- COMMAND [ARGS...]\n"
                 "                                    COMMAND runs with a board served through\n"
                 "                                    the kernel's USB gadget framework\n");
    return argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
}
