// "kelsim usb": a simulated board on an emulated USB bus for one command.
#pragma once

// argv[0] is the word "usb"; the options follow.
int kelsim_usb_main(int argc, char **argv);
