// Running the command a simulator subcommand serves ("kelsim usb|serial|card
// [options] -- COMMAND..."), for as long as it runs.
#pragma once

#include <functional>
#include <string>

namespace kelsim {

// Exit status of kelsim itself failing (as env(1) and timeout(1) use it).
constexpr int kOwnFailure = 125;

// Runs argv[0] with its arguments as a child, passing SIGINT, SIGTERM and SIGHUP
// on to it, and returns its exit status (128 + N when signal N ended it; 127
// when the program was not found, 126 when it could not be run). `tick`, when
// given, is called about every 20 ms while it returns true.
int runCommand(const char *who, char **argv, const std::function<bool()> &tick = {});

// Without a command: prints `path` (the simulated device) on a line of its own
// and returns once SIGINT or SIGTERM has arrived. The handlers are in place
// before the line is printed, so a caller that signals as soon as it has read
// the path still lets the simulator clean up.
void printAndWaitForStop(const std::string &path);

// Asks the command runCommand is running to stop, as Ctrl-C would (SIGINT).
void interruptCommand();

// Puts `paths` (separated by blanks) in front of what the environment variable
// `name` already holds, so that simulators run inside each other add up.
void prependToVariable(const char *name, const std::string &paths);

}  // namespace kelsim
