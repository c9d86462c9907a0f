// What an attached board says about itself, in plain English, for
// "kelflash-cli probe" and "kelflash-cli devices".
#pragma once

#include <cstdio>
#include <string>

#include "libkelupg.h"

// Asks the board for its hardware information and, in U-Boot, its storage
// media, and prints them to out. With probe_size the maximum transfer size is
// set from the answer (USB links do; a serial line keeps its packet size).
// 0 on success, -1 when the board did not answer (reason on err).
int board_report(upg_device *dev, bool probe_size, FILE *out, FILE *err);

// Opens a USB upgrade device given as "BUS:P1-P2..." ("1-2.3" accepted too).
// None on failure, with the reason printed to err.
upg_device *board_open_usb(const std::string &location, FILE *err);
// Opens a serial line and waits up to wait_ms for the board's handshake.
upg_device *board_open_serial(const std::string &port, int wait_ms, FILE *err);
