#pragma once

// "kelsim gadget [options] -- COMMAND...": see gadget_cli.cpp.
int kelsim_gadget_main(int argc, char **argv);
