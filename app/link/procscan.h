#pragma once

// Finding and ending running programs by executable name. Plain operations so the
// adb watcher stays free of platform calls; the backend lives in procscan_<platform>.cpp.

#include <cstdint>
#include <string>
#include <vector>

namespace procscan {

// Ids of the calling user's live processes whose executable is called `name`
// (exited-but-unreaped processes and the calling process are left out). Other
// users' processes are never listed: the tool has no business with them, and run
// as root it would otherwise end their adb servers.
std::vector<int64_t> findByName(const std::string &name);

// True while the process `pid` exists and has not exited.
bool isAlive(int64_t pid);

// Asks every process of the calling user called `name` to end, forces the ones still alive after
// `graceMs` (graceMs <= 0: forces them at once, without asking), and waits a little
// for them to go. Returns how many were found; 0 means nothing was signalled at all.
int killByName(const std::string &name, int graceMs);

}  // namespace procscan
