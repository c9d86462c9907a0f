// "kelsim serial": a simulated board behind a pty.
#pragma once

int kelsim_serial_main(int argc, char **argv);
