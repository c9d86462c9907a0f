// "kelsim gadget [options] -- COMMAND...": runs COMMAND with simulated boards
// served as real USB devices through the kernel's gadget framework (one
// FunctionFS gadget per board, board K on the K-th device controller), and
// exits with COMMAND's status. Meant for a machine of its own (the test
// virtual machine) with the dummy host controller loaded: the host side is
// the kernel's USB stack, found through usbfs as a board on a cable is.
#include "gadget_cli.h"

#include "board.h"
#include "gadget_ffs.h"
#include "cli_args.h"
#include "run_command.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using kelsim::kOwnFailure;
using kelsim::parseNumber;

void usage(FILE *out) {
    fprintf(out,
            "usage: kelsim gadget [options] -- COMMAND [ARGS...]\n"
            "  Runs COMMAND with simulated boards served through the kernel's USB gadget\n"
            "  framework (configfs and FunctionFS; root, configfs mounted, usb_f_fs loaded)\n"
            "  and exits with COMMAND's status. Board K is bound to the K-th device\n"
            "  controller of /sys/class/udc; leaving and coming back (a \"run\" component,\n"
            "  \"reset\", a vanish fault) unbinds and binds it again.\n"
            "  --boards N           serve N boards (default 1)\n"
            "  --stage brom|uboot   stage the boards start in (default brom)\n"
            "  --run-away MS|never  time off the bus after a \"run\" component (default 300)\n"
            "  --wrong-crc          answer a wrong checksum\n"
            "  --fail-cmd C         answer command code C with status 1\n"
            "  --fault K:FAULT      a fault of board K only: vanish@COMPONENT[:MS] (half-way\n"
            "                       through that component, for good or for MS ms),\n"
            "                       wrong-crc, fail-cmd=C, run-away=MS|never\n"
            "  --dump DIR           write what was burnt when COMMAND ends (as kelsim usb\n"
            "                       does, plus appearances.txt: times on the bus); with\n"
            "                       several boards board K goes to DIR/boardK\n"
            "  --quiet              no summary on stderr\n");
}

bool awayTime(const std::string &s, int *out) {
    long long v = 0;
    if (s == "never") {
        *out = -1;
        return true;
    }
    if (!parseNumber(s, 0, 600000, &v))
        return false;
    *out = int(v);
    return true;
}

// Applies one fault; false when it is not one.
bool applyFault(kelsim::Board &board, kelsim::BoardConfig &cfg, const std::string &f) {
    long long v = 0;
    if (f == "wrong-crc") {
        board.setWrongCrc(true);
    } else if (f.rfind("fail-cmd=", 0) == 0 && parseNumber(f.substr(9), 0, 255, &v)) {
        board.failCommand(uint8_t(v), 1);
    } else if (f.rfind("run-away=", 0) == 0 && awayTime(f.substr(9), &cfg.runAwayMs)) {
        board.setRunAwayMs(cfg.runAwayMs);
    } else if (f.rfind("vanish@", 0) == 0 && f.size() > 7) {
        std::string name = f.substr(7);
        long long away = -1;
        const size_t colon = name.find(':');
        if (colon != std::string::npos) {
            if (!parseNumber(name.substr(colon + 1), 0, 600000, &away))
                return false;
            name.resize(colon);
        }
        board.vanishInComponent(name, int(away));
    } else {
        return false;
    }
    return true;
}

std::string safeName(const std::string &n) {
    std::string s;
    for (char c : n)
        s += (c == '/' || c == '\0') ? '_' : c;
    return s.empty() || s == "." || s == ".." ? "_" + s : s;
}

bool dump(const kelsim::Board &board, int appearances, const std::string &dir) {
    for (size_t p = 1; p <= dir.size(); ++p) {
        if ((p == dir.size() || dir[p] == '/') && mkdir(dir.substr(0, p).c_str(), 0755) != 0 &&
            errno != EEXIST) {
            fprintf(stderr, "kelsim gadget: cannot create %s: %s\n", dir.c_str(), strerror(errno));
            return false;
        }
    }
    bool ok = true;
    for (const auto &kv : board.storage()) {
        std::ofstream f(dir + "/" + safeName(kv.first) + ".bin", std::ios::binary);
        f.write(reinterpret_cast<const char *>(kv.second.data()),
                std::streamsize(kv.second.size()));
        ok = ok && f.good();
    }
    std::ofstream c(dir + "/commands.txt");
    for (uint8_t code : board.commandLog()) {
        char b[8];
        snprintf(b, sizeof b, "0x%02X\n", code);
        c << b;
    }
    std::ofstream m(dir + "/components.txt");
    for (const auto &comp : board.components()) {
        char b[64];
        snprintf(b, sizeof b, "%u 0x%08X %s", comp.size, comp.crc,
                 comp.complete ? "complete" : "failed");
        m << comp.name << " -> " << (comp.partition.empty() ? comp.name : comp.partition) << " "
          << b << " [" << comp.attributes << "] " << kelsim::stageName(comp.stage) << "\n";
    }
    std::ofstream a(dir + "/appearances.txt");
    a << appearances << "\n";
    c.close();
    m.close();
    a.close();
    if (!ok || !c || !m || !a)
        fprintf(stderr, "kelsim gadget: cannot write all of %s\n", dir.c_str());
    return ok && c && m && a;
}

}  // namespace

int kelsim_gadget_main(int argc, char **argv) {
    kelsim::BoardConfig cfg;
    int boardCount = 1;
    std::string dumpDir;
    bool quiet = false;
    std::vector<std::pair<int, std::string>> faults;  // board (0: every board), fault
    int cmdAt = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            cmdAt = i + 1;
            break;
        }
        const bool hasValue = i + 1 < argc;
        const std::string v = hasValue ? argv[i + 1] : "";
        long long n = 0;
        bool ok = true;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--quiet" || a == "--wrong-crc") {
            if (a == "--quiet")
                quiet = true;
            else
                faults.push_back({0, "wrong-crc"});
            continue;
        } else if (!hasValue) {
            fprintf(stderr, "kelsim gadget: %s needs a value\n", a.c_str());
            return 2;
        } else if (a == "--boards") {
            ok = parseNumber(v, 1, 16, &n);
            boardCount = int(n);
        } else if (a == "--stage") {
            ok = v == "brom" || v == "uboot";
            cfg.initialStage = v == "uboot" ? kelsim::Stage::UBoot : kelsim::Stage::BootRom;
        } else if (a == "--run-away") {
            ok = awayTime(v, &cfg.runAwayMs);
        } else if (a == "--fail-cmd") {
            ok = parseNumber(v, 0, 255, &n);
            faults.push_back({0, "fail-cmd=" + v});
        } else if (a == "--fault") {
            const size_t colon = v.find(':');
            ok = colon != std::string::npos && parseNumber(v.substr(0, colon), 1, 16, &n);
            faults.push_back({int(n), v.substr(colon + 1)});
        } else if (a == "--dump") {
            dumpDir = v;
        } else {
            fprintf(stderr, "kelsim gadget: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
        if (!ok) {
            fprintf(stderr, "kelsim gadget: bad value for %s: %s\n", a.c_str(), v.c_str());
            return 2;
        }
        ++i;
    }
    if (cmdAt < 0 || cmdAt >= argc) {
        fprintf(stderr, "kelsim gadget: no command given\n");
        usage(stderr);
        return 2;
    }

    std::vector<std::unique_ptr<kelsim::Board>> boards;
    for (int k = 1; k <= boardCount; ++k) {
        kelsim::BoardConfig own = cfg;
        char chip[16];
        snprintf(chip, sizeof chip, "SIM-%06d", k);
        own.chipId = chip;
        boards.push_back(std::make_unique<kelsim::Board>(own));
        for (const auto &f : faults) {
            if (f.first > boardCount) {
                fprintf(stderr, "kelsim gadget: --fault names board %d of %d\n", f.first,
                        boardCount);
                return 2;
            }
            if ((f.first == 0 || f.first == k) && !applyFault(*boards.back(), own, f.second)) {
                fprintf(stderr, "kelsim gadget: unknown fault %s\n", f.second.c_str());
                return 2;
            }
        }
    }

    const std::vector<std::string> udcs = kelsim::FfsGadget::controllers();
    if (int(udcs.size()) < boardCount) {
        fprintf(stderr,
                "kelsim gadget: %d boards need as many USB device controllers, the kernel "
                "offers %zu (load dummy_hcd num=%d)\n",
                boardCount, udcs.size(), boardCount);
        return kOwnFailure;
    }
    std::vector<std::unique_ptr<kelsim::FfsGadget>> gadgets;
    for (int k = 0; k < boardCount; ++k) {
        gadgets.push_back(std::make_unique<kelsim::FfsGadget>(*boards[size_t(k)]));
        std::string error;
        if (!gadgets.back()->start("kelsim" + std::to_string(k + 1), udcs[size_t(k)], &error)) {
            fprintf(stderr, "kelsim gadget: board %d: %s\n", k + 1, error.c_str());
            return kOwnFailure;
        }
    }

    // As a board plugged in before the operator starts the burn: COMMAND
    // begins once the host has enumerated every board.
    for (int k = 0; k < boardCount; ++k) {
        if (!gadgets[size_t(k)]->waitConfigured(20000)) {
            fprintf(stderr, "kelsim gadget: board %d: the host did not take it up\n", k + 1);
            return kOwnFailure;
        }
    }
    int status = kelsim::runCommand("gadget", argv + cmdAt);
    std::vector<int> appearances;
    for (auto &g : gadgets) {
        g->stop();
        appearances.push_back(g->appearances());
    }

    for (size_t k = 0; k < boards.size(); ++k) {
        const kelsim::Board &board = *boards[k];
        if (!quiet) {
            const auto comps = board.components();
            fprintf(stderr, "kelsim: board %zu in %s, %d appearances, %zu components received\n",
                    k + 1, kelsim::stageName(board.stage()), appearances[k], comps.size());
            for (const auto &c : comps)
                fprintf(stderr, "kelsim:   %s -> %s, %u bytes, %s\n", c.name.c_str(),
                        (c.partition.empty() ? c.name : c.partition).c_str(), c.size,
                        c.complete ? "complete" : "failed");
        }
        const std::string dir =
            boards.size() > 1 ? dumpDir + "/board" + std::to_string(k + 1) : dumpDir;
        if (!dumpDir.empty() && !dump(board, appearances[k], dir) && status == 0)
            status = kOwnFailure;
    }
    return status;
}
