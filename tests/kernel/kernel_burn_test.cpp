// Burns through the kernel's own USB stack: one boot of a QEMU machine (see
// run_vm.sh and guest_init.sh) runs every case of kCases in turn, kelsim gadget
// serving the boards on dummy host controllers and kelflash-cli burning them
// through usbfs. Here the outcome of each case is checked: the burner's
// status and result line, what the board stored byte for byte, and how often
// it appeared on the bus (a stage change is a real re-enumeration).
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>

#include "burn_cli_run.h"
#include "burn_util.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

const std::vector<SampleComponent> kSmall = {
    {"spl", "spl", "run", 30000},
    {"uboot", "boot", "burn", 200000},
    {"image.target.rootfs", "rootfs", "burn", 1500000},
};
// Beyond usbfs's default memory limit (16 MiB) for one device's transfers.
const std::vector<SampleComponent> kLarge = {
    {"spl", "spl", "run", 30000},
    {"image.target.rootfs", "rootfs", "burn", 20u << 20},
};

struct Case {
    const char *name;
    bool udevd;
    int seconds;  // the guest kills the case after this long
    const char *kelsim;
    const char *burn;
};

// Order matters only for udevd: it is started once and stopped once.
const Case kCases[] = {
    {"clean_udevd", true, 120, "--run-away 300", "/images/small.img --usb 1:1"},
    {"wrong_crc", true, 120, "--wrong-crc", "/images/small.img --usb 1:1 --verify --retries 0"},
    {"two_boards", true, 180, "--boards 2", "/images/small.img --all"},
    {"clean_no_udevd", false, 120, "--run-away 300", "/images/small.img --usb 1:1"},
    {"late_return", false, 120, "--run-away 4000", "/images/small.img --usb 1:1"},
    {"vanish", false, 180, "--fault 1:vanish@rootfs", "/images/small.img --usb 1:1 --retries 0"},
    {"no_return", false, 240, "--run-away never", "/images/small.img --usb 1:1 --retries 0"},
    {"fail_cmd", false, 120, "--fail-cmd 0x12", "/images/small.img --usb 1:1 --retries 0"},
    {"large", false, 400, "", "/images/large.img --usb 1:1"},
};

struct VmRun {
    bool ran = false;
    std::string skip;     // why the cases cannot run here
    std::string failure;  // why the machine did not run them
    std::map<std::string, std::vector<uint8_t>> small, large;
};

const VmRun &vm() {
    static VmRun run = [] {
        VmRun r;
        QDir().mkpath("vm/images");
        r.small = writeImage("vm/images/small.img", kSmall);
        r.large = writeImage("vm/images/large.img", kLarge);
        FILE *f = fopen("vm/cases", "w");
        for (const Case &c : kCases)
            fprintf(f, "%s %s %d %s -- %s\n", c.name, c.udevd ? "udevd" : "none", c.seconds,
                    c.kelsim, c.burn);
        fclose(f);
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QString::fromLocal8Bit(qgetenv("KELFLASH_SOURCE_DIR")) + "/tests/kernel/run_vm.sh",
                {"vm", binary("sim/kelsim"), binary("cli/kelflash-cli")});
        if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit) {
            r.failure = "run_vm.sh did not end normally";
            return r;
        }
        const std::string out = p.readAll().toStdString();
        fprintf(stderr, "%s", out.c_str());
        if (p.exitCode() == 77)
            r.skip = out;
        else if (p.exitCode() != 0)
            r.failure = out;
        else
            r.ran = true;
        return r;
    }();
    return run;
}

struct Outcome {
    int status = -1;
    QByteArray out, err;
    QString dump;
};

Outcome outcome(const char *name) {
    const QString dir = QStringLiteral("vm/results/") + name;
    Outcome o;
    auto text = [&dir](const char *file) {
        const auto b = fileBytes(dir + "/" + file);
        return QByteArray(reinterpret_cast<const char *>(b.data()), int(b.size()));
    };
    bool ok = false;
    o.status = text("status").trimmed().toInt(&ok);
    if (!ok)
        o.status = -1;
    o.out = text("out.json");
    o.err = text("err.txt");
    o.dump = dir + "/dump";
    return o;
}

int appearances(const QString &dump) {
    const auto b = fileBytes(dump + "/appearances.txt");
    return std::atoi(std::string(b.begin(), b.end()).c_str());
}

QString components(const QString &dump) {
    const auto b = fileBytes(dump + "/components.txt");
    return QString::fromStdString(std::string(b.begin(), b.end()));
}

QJsonObject result(const Outcome &o) {
    const auto lines = jsonLines(o.out);
    return lines.empty() ? QJsonObject() : lines.back();
}

#define NEED_VM()                            \
    do {                                     \
        const VmRun &run = vm();             \
        if (!run.skip.empty())               \
            GTEST_SKIP() << run.skip;        \
        ASSERT_TRUE(run.ran) << run.failure; \
    } while (0)

}  // namespace

// A clean burn through the stage change, with and without a udev daemon: the
// board leaves the bus after its boot loader and is enumerated again with a
// new address; without udevd the burner hears no hot-plug event of it.
TEST(KernelBurn, CleanBurnFollowsTheBoardThroughItsReEnumeration) {
    NEED_VM();
    for (const char *name : {"clean_udevd", "clean_no_udevd", "late_return"}) {
        SCOPED_TRACE(name);
        const Outcome o = outcome(name);
        EXPECT_EQ(o.status, 0) << o.err.toStdString();
        EXPECT_TRUE(result(o)["ok"].toBool());
        EXPECT_EQ(events(o.out, "stage").size(), 1u);
        EXPECT_GE(appearances(o.dump), 2) << "boot ROM, then U-Boot";
        expectBoardHolds(o.dump, vm().small);
    }
}

TEST(KernelBurn, ComponentLargerThanTheUsbfsLimitArrivesWhole) {
    NEED_VM();
    const Outcome o = outcome("large");
    EXPECT_EQ(o.status, 0) << o.err.toStdString();
    expectBoardHolds(o.dump, vm().large);
}

TEST(KernelBurn, TwoBoardsOnTwoControllersBurntWithAll) {
    NEED_VM();
    const Outcome o = outcome("two_boards");
    EXPECT_EQ(o.status, 0) << o.err.toStdString();
    for (const char *board : {"/board1", "/board2"}) {
        SCOPED_TRACE(board);
        EXPECT_GE(appearances(o.dump + board), 2);
        expectBoardHolds(o.dump + board, vm().small);
    }
}

// Faults end the burn with status 1 and a result line, in bounded time (the
// guest kills a case that hangs, which shows as another status).
TEST(KernelBurn, FaultsFailTheBurnCleanly) {
    NEED_VM();
    for (const char *name : {"vanish", "no_return", "fail_cmd", "wrong_crc"}) {
        SCOPED_TRACE(name);
        const Outcome o = outcome(name);
        EXPECT_EQ(o.status, 1) << o.err.toStdString();
        const QJsonObject r = result(o);
        EXPECT_EQ(r["event"].toString(), "result");
        EXPECT_FALSE(r["ok"].toBool());
    }
    const Outcome lost = outcome("no_return");
    EXPECT_EQ(result(lost)["message"].toString(), "Dev 1:1 is completely lost!");
    EXPECT_EQ(appearances(lost.dump), 1);
    EXPECT_FALSE(components(lost.dump).contains("U-Boot"));
    const Outcome vanished = outcome("vanish");
    // It left half-way through the root file system, after U-Boot's components.
    EXPECT_TRUE(components(vanished.dump).contains("boot 200000 0x")) << "it got that far";
    EXPECT_FALSE(components(vanished.dump).contains("rootfs 1500000"));
    EXPECT_TRUE(fileBytes(vanished.dump + "/rootfs.bin").empty());
}

// Every case took its gadget down again: none is left in configfs.
TEST(KernelBurn, NoGadgetOutlivesItsCase) {
    NEED_VM();
    for (const Case &c : kCases)
        EXPECT_TRUE(fileBytes(QStringLiteral("vm/results/") + c.name + "/leftovers").empty())
            << c.name;
}
