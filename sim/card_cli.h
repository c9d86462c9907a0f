// "kelsim card": a simulated SD card for the card page and "kelflash-cli card".
#pragma once

// argv[0] is the word "card"; the options follow.
int kelsim_card_main(int argc, char **argv);
