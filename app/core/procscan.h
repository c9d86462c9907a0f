#pragma once

// Listing running programs, and finding and ending them by executable name. Plain
// operations so the adb watcher and the environment checker stay free of platform
// calls; the backend lives in procscan_<platform>.cpp.

#include <cstdint>
#include <string>
#include <vector>

namespace procscan {

struct ProcessInfo {
    int64_t pid = 0;
    // The name the process runs under (cut to what the system keeps of it).
    std::string name;
    // The file name of its executable without the folder; empty where the system
    // does not show it to the caller (another user's process, run without root).
    std::string exeName;
};

// Every live process of every user, ordered by id. `procRoot` is the process
// table's place in the file system; tests hand in a tree of their own.
std::vector<ProcessInfo> listAll(const std::string &procRoot = "/proc");

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
