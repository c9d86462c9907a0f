// "kelsim usb" end to end: a separate libusb program burns through the
// simulated board; kelsim re-executes itself under umockdev-wrapper, passes
// the command's status on and dumps what was burnt.
#include <gtest/gtest.h>


#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

std::vector<uint8_t> readFile(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

TEST(KelsimUsb, ChildBurnsAcrossTheStageChangeAndTheDumpHoldsEveryByte) {
    int rc = runProgram({KELSIM_EXE, "usb", "--port", "1.3", "--dummies", "5", "--run-away", "100",
                  "--dump", "out/dump", "--quiet", "--", PROBE_EXE, "1.3", "200000"});
    ASSERT_EQ(rc, 0);
    auto rootfs = readFile("out/dump/rootfs.bin");
    ASSERT_EQ(rootfs.size(), 200000u);
    for (size_t i = 0; i < rootfs.size(); ++i)
        ASSERT_EQ(rootfs[i], uint8_t(i * 13 + 1)) << "at " << i;
    EXPECT_EQ(readFile("out/dump/spl.bin").size(), 3000u);
    std::ifstream c("out/dump/commands.txt");
    std::string all((std::istreambuf_iterator<char>(c)), {});
    EXPECT_EQ(all.substr(0, 25), "0x00\n0x11\n0x10\n0x12\n0x00\n");
    std::ifstream m("out/dump/components.txt");
    std::string comps((std::istreambuf_iterator<char>(m)), {});
    EXPECT_NE(comps.find("image.target.rootfs -> rootfs 200000"), std::string::npos) << comps;
    EXPECT_NE(comps.find("U-Boot"), std::string::npos);
}

TEST(KelsimUsb, PassesTheCommandsStatusOn) {
    EXPECT_EQ(runProgram({KELSIM_EXE, "usb", "--quiet", "--", "/bin/sh", "-c", "exit 7"}), 7);
    EXPECT_EQ(runProgram({KELSIM_EXE, "usb", "--quiet", "--", "/nonexistent/cmd"}), 127);
    // A board that fails the data transfer fails the probe's burn step.
    EXPECT_EQ(runProgram({KELSIM_EXE, "usb", "--quiet", "--fail-cmd", "0x12", "--", PROBE_EXE, "4"}), 13);
    // The board sits where it was asked to: the probe looks elsewhere.
    EXPECT_EQ(runProgram({KELSIM_EXE, "usb", "--quiet", "--port", "2", "--", PROBE_EXE, "4"}), 11);
}

TEST(KelsimUsb, RejectsBadOptions) {
    EXPECT_EQ(runProgram({KELSIM_EXE, "usb", "--port", "1.0", "--", "/bin/true"}), 2);
    EXPECT_EQ(runProgram({KELSIM_EXE, "usb", "--stage", "linux", "--", "/bin/true"}), 2);
    EXPECT_EQ(runProgram({KELSIM_EXE, "usb"}), 2);
    EXPECT_EQ(runProgram({KELSIM_EXE, "bogus"}), 2);
}

}  // namespace
