// Serial ports a board could sit behind, for listings.
#pragma once

#include <string>
#include <vector>

// Device paths of the serial ports present, in a stable order (USB adapters
// first, then the built-in ports). dev_dir is where device nodes live ("/dev"
// unless a test points elsewhere).
std::vector<std::string> serial_port_list(const std::string &dev_dir = "/dev");
