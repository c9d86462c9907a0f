// "kelsim gadget" refuses what it cannot serve before it touches configfs; the
// burns through it run in the kernel cases' virtual machine (tests/kernel).
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "run_program.h"

namespace {

int run(std::vector<std::string> args) {
    args.insert(args.begin(), {KELSIM_EXE, "gadget"});
    return runProgram(args);
}

bool hostHasControllers() {
    DIR *d = opendir("/sys/class/udc");
    if (!d)
        return false;
    bool any = false;
    while (dirent *e = readdir(d))
        any = any || e->d_name[0] != '.';
    closedir(d);
    return any;
}

}  // namespace

TEST(KelsimGadget, RefusesBadOptionsWithUsageStatus) {
    const std::vector<std::vector<std::string>> bad = {
        {"--boards", "0", "--", "true"},
        {"--boards", "2", "--fault", "3:wrong-crc", "--", "true"},
        {"--fault", "1:explode", "--", "true"},
        {"--fault", "wrong-crc", "--", "true"},
        {"--fault", "1:vanish@rootfs:soon", "--", "true"},
        {"--run-away", "soon", "--", "true"},
        {"--stage", "linux", "--", "true"},
        {"--fail-cmd", "300", "--", "true"},
        {"--dump"},
        {"--quiet"},
    };
    for (const auto &args : bad)
        EXPECT_EQ(run(args), 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_EQ(run({"--help"}), 0);
}

TEST(KelsimGadget, WithoutDeviceControllersItFailsAsItself) {
    // Where a controller exists the gadget would be real: not on this host.
    if (hostHasControllers())
        GTEST_SKIP() << "this host has USB device controllers";
    EXPECT_EQ(run({"--run-away", "never", "--fault", "1:vanish@rootfs:500", "--", "true"}), 125);
}
