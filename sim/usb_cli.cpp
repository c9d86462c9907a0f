// "kelsim usb [options] -- COMMAND...": runs COMMAND as a child with a
// simulated board attached to an emulated USB bus, and exits with its status.
// The testbed has to live in this process and every libusb user has to run
// under umockdev's preload library, so kelsim re-executes itself through
// umockdev-wrapper when the library is not loaded yet.
#include "usb_cli.h"

#include "board.h"
#include "cli_args.h"
#include "run_command.h"
#include "serial_line.h"
#include "usb_board.h"
#include "usb_churn.h"
#include "usb_link.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
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
constexpr const char *kReexecGuard = "KELSIM_UMOCKDEV_REEXEC";

void usage(FILE *out) {
    fprintf(out,
            "usage: kelsim usb [options] -- COMMAND [ARGS...]\n"
            "  Runs COMMAND with a simulated board (vendor 0x33C3, product 0x6677) on an\n"
            "  emulated USB bus and exits with COMMAND's status.\n"
            "  --bus N              bus number (default 1)\n"
            "  --port P             port path, e.g. 4 or 1.3 (default 4)\n"
            "  --stage brom|uboot   stage the board starts in (default brom)\n"
            "  --block-brom N       block size in the boot ROM (default 512)\n"
            "  --block-uboot N      block size in U-Boot (default 4096)\n"
            "  --run-away MS        time off the bus after a \"run\" component (default 300)\n"
            "  --reset-away MS      time off the bus after \"reset\" (default 300)\n"
            "  --reset-stage S      stage after \"reset\" (default brom)\n"
            "  --media A,B,...      storage media names\n"
            "  --partitions TEXT    partition table text answered to the host\n"
            "  --dummies N          add N unrelated USB devices\n"
            "  --no-uevents         the board comes and goes without uevents, as on a\n"
            "                       host without a udev daemon\n"
            "  --dump DIR           write what was burnt, one file per partition, when\n"
            "                       COMMAND ends (plus commands.txt and components.txt)\n"
            "  --fail-cmd C[:S]     answer command code C with status S (default 1)\n"
            "  --zero-block         answer the block-size command with 0\n"
            "  --wrong-crc          answer a wrong checksum\n"
            "  --burn-result N      answer this burn result\n"
            "  --vanish-after N[:MS]  vanish after N bytes (for good, or for MS ms)\n"
            "  --quiet              no summary on stderr\n"
            "  --boards N           attach N boards (default 1) on neighbouring ports: the\n"
            "                       last number of --port counts up (4, 5, 6, ...); the\n"
            "                       fault options above apply to every board\n"
            "  --fault K:FAULT      a fault of board K (1..N) only: vanish@COMPONENT[:MS]\n"
            "                       (half-way through that component, for good or for MS\n"
            "                       ms), wrong-crc, run-away=MS, fail-cmd=C, arrive=MS\n"
            "                       (attached MS ms after COMMAND started), other-after-run\n"
            "                       (another board, another chip identifier, comes back\n"
            "                       after its first \"run\" component), replaces=J (taken\n"
            "                       out for good when board J is told to reset, board K\n"
            "                       is plugged into J's port 500 ms later)\n"
            "                       Board K reports the chip identifier SIM-00000K.\n"
            "  --serial-boards N    also serve N boards on pseudo-terminals; COMMAND finds\n"
            "                       their paths in KELSIM_SERIAL_PORTS (space-separated),\n"
            "                       and KelFlash offers them (KELFLASH_EXTRA_SERIAL_PORTS);\n"
            "                       --dump writes serial board K to DIR/serialK\n"
            "  --serial-pace        pace the serial boards at the real line rate\n"
            "  --link hs            pace every board's bulk transfers as a USB 2.0\n"
            "                       high-speed link would carry them (13 x 512 bytes per\n"
            "                       125 us microframe; each transfer at least one)\n"
            "  --rate BYTES_PER_S   the same on a slower link of this payload rate\n"
            "  --churn N            N boards in all come, get burnt and go on the --boards\n"
            "                       ports, each with a fault drawn from: none, vanish\n"
            "                       (in \"rootfs\"), no-return (after its \"run\"), late-return\n"
            "                       (3 s after it), wrong-crc, fail-cmd (data start refused);\n"
            "                       once all are through COMMAND is stopped as by Ctrl-C\n"
            "  --churn-log FILE     one line per board: its fault and expected outcome\n"
            "  --seed S             the draw of the faults (default 1)\n"
            "                       With several boards --dump writes board K's storage\n"
            "                       to DIR/boardK.\n");
}

bool parseStage(const std::string &s, kelsim::Stage *out) {
    if (s == "brom" || s == "bootrom")
        *out = kelsim::Stage::BootRom;
    else if (s == "uboot")
        *out = kelsim::Stage::UBoot;
    else
        return false;
    return true;
}

bool parsePort(const std::string &s, std::vector<uint8_t> *out) {
    out->clear();
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t dot = s.find('.', pos);
        std::string part = s.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
        long long v = 0;
        if (!parseNumber(part, 1, 255, &v))
            return false;
        out->push_back(uint8_t(v));
        if (dot == std::string::npos)
            break;
        pos = dot + 1;
    }
    return !out->empty() && out->size() <= 7;
}

// Partition names come from the image; keep them to one path component.
std::string safeName(const std::string &n) {
    std::string s;
    for (char c : n)
        s += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
    if (s.empty() || s == "." || s == "..")
        s = "_" + s;
    return s;
}

bool dump(const kelsim::Board &board, const std::string &dir) {
    for (size_t p = 1; p <= dir.size(); ++p) {
        if (p == dir.size() || dir[p] == '/') {
            std::string sub = dir.substr(0, p);
            if (mkdir(sub.c_str(), 0755) != 0 && errno != EEXIST) {
                fprintf(stderr, "kelsim usb: cannot create %s: %s\n", sub.c_str(), strerror(errno));
                return false;
            }
        }
    }
    bool ok = true;
    for (const auto &kv : board.storage()) {
        std::string path = dir + "/" + safeName(kv.first) + ".bin";
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char *>(kv.second.data()),
                std::streamsize(kv.second.size()));
        f.close();
        if (!f) {
            fprintf(stderr, "kelsim usb: cannot write %s\n", path.c_str());
            ok = false;
        }
    }
    std::ofstream c(dir + "/commands.txt", std::ios::trunc);
    for (uint8_t code : board.commandLog()) {
        char b[8];
        snprintf(b, sizeof b, "0x%02X\n", code);
        c << b;
    }
    std::ofstream m(dir + "/components.txt", std::ios::trunc);
    for (const auto &comp : board.components()) {
        char b[64];
        snprintf(b, sizeof b, "%u 0x%08X %s", comp.size, comp.crc,
                 comp.complete ? "complete" : "failed");
        m << comp.name << " -> " << (comp.partition.empty() ? comp.name : comp.partition) << " "
          << b << " [" << comp.attributes << "] " << kelsim::stageName(comp.stage) << "\n";
    }
    c.close();
    m.close();
    return ok && c && m;
}

// Runs this program again under umockdev-wrapper with the same arguments.
int reexec(int argc, char **argv) {
    if (getenv(kReexecGuard)) {
        fprintf(stderr,
                "kelsim usb: umockdev's preload library is not active even under "
                "umockdev-wrapper\n");
        return kOwnFailure;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        fprintf(stderr, "kelsim usb: cannot find my own executable\n");
        return kOwnFailure;
    }
    self[n] = 0;
    setenv(kReexecGuard, "1", 1);
    // A sanitizer build would refuse to start with umockdev's library first.
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    if (asan.find("verify_asan_link_order") == std::string::npos)
        setenv("ASAN_OPTIONS",
               (asan.empty() ? "" : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
    std::vector<char *> args;
    args.push_back(const_cast<char *>("umockdev-wrapper"));
    args.push_back(self);
    for (int i = 0; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp("umockdev-wrapper", args.data());
    fprintf(stderr, "kelsim usb: cannot run umockdev-wrapper: %s\n", strerror(errno));
    return kOwnFailure;
}

}  // namespace

int kelsim_usb_main(int argc, char **argv) {
    kelsim::BoardConfig cfg;
    int bus = 1;
    std::vector<uint8_t> port{4};
    int dummies = 0;
    std::string dumpDir;
    bool quiet = false;
    bool uevents = true;
    std::vector<std::pair<uint8_t, uint8_t>> failCmds;
    bool zeroBlock = false, wrongCrc = false;
    long long burnResult = 0, vanishBytes = -1, vanishMs = -1;
    int cmdAt = -1;
    int boardCount = 1;
    int serialCount = 0;
    bool serialPace = false;
    std::vector<std::pair<int, std::string>> faults;
    kelsim::UsbLinkModel link;
    int churn = 0;
    std::string churnLog;
    long long seed = 1;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            cmdAt = i + 1;
            break;
        }
        auto value = [&](std::string *out) {
            if (i + 1 >= argc) {
                fprintf(stderr, "kelsim usb: %s needs a value\n", a.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        auto number = [&](long long lo, long long hi, long long *out) {
            std::string v;
            if (!value(&v))
                return false;
            if (!parseNumber(v, lo, hi, out)) {
                fprintf(stderr, "kelsim usb: bad value for %s: %s\n", a.c_str(), v.c_str());
                return false;
            }
            return true;
        };
        std::string v;
        long long n = 0;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--bus") {
            if (!number(1, 254, &n))
                return 2;
            bus = int(n);
        } else if (a == "--port") {
            if (!value(&v))
                return 2;
            if (!parsePort(v, &port)) {
                fprintf(stderr, "kelsim usb: bad port path %s\n", v.c_str());
                return 2;
            }
        } else if (a == "--stage" || a == "--reset-stage") {
            if (!value(&v))
                return 2;
            if (!parseStage(v, a == "--stage" ? &cfg.initialStage : &cfg.resetStage)) {
                fprintf(stderr, "kelsim usb: unknown stage %s\n", v.c_str());
                return 2;
            }
        } else if (a == "--block-brom" || a == "--block-uboot") {
            if (!number(0, 0x7FFFFFFF, &n))
                return 2;
            (a == "--block-brom" ? cfg.blockSizeBootRom : cfg.blockSizeUBoot) = uint32_t(n);
        } else if (a == "--run-away" || a == "--reset-away") {
            if (!number(0, 600000, &n))
                return 2;
            (a == "--run-away" ? cfg.runAwayMs : cfg.resetAwayMs) = int(n);
        } else if (a == "--media") {
            if (!value(&v))
                return 2;
            cfg.storageMedia.clear();
            size_t pos = 0;
            while (pos <= v.size()) {
                size_t c = v.find(',', pos);
                std::string name =
                    v.substr(pos, c == std::string::npos ? std::string::npos : c - pos);
                if (!name.empty())
                    cfg.storageMedia.push_back(name);
                if (c == std::string::npos)
                    break;
                pos = c + 1;
            }
        } else if (a == "--partitions") {
            if (!value(&cfg.partitionTable))
                return 2;
        } else if (a == "--dummies") {
            if (!number(0, 100, &n))
                return 2;
            dummies = int(n);
        } else if (a == "--dump") {
            if (!value(&dumpDir))
                return 2;
        } else if (a == "--fail-cmd") {
            if (!value(&v))
                return 2;
            size_t colon = v.find(':');
            long long code = 0, status = 1;
            if (!parseNumber(v.substr(0, colon), 0, 255, &code) ||
                (colon != std::string::npos &&
                 !parseNumber(v.substr(colon + 1), 1, 255, &status))) {
                fprintf(stderr, "kelsim usb: bad value for --fail-cmd: %s\n", v.c_str());
                return 2;
            }
            failCmds.push_back({uint8_t(code), uint8_t(status)});
        } else if (a == "--zero-block") {
            zeroBlock = true;
        } else if (a == "--wrong-crc") {
            wrongCrc = true;
        } else if (a == "--burn-result") {
            if (!number(0, 0xFFFFFFFFll, &burnResult))
                return 2;
        } else if (a == "--vanish-after") {
            if (!value(&v))
                return 2;
            size_t colon = v.find(':');
            if (!parseNumber(v.substr(0, colon), 1, 1ll << 40, &vanishBytes) ||
                (colon != std::string::npos &&
                 !parseNumber(v.substr(colon + 1), 0, 600000, &vanishMs))) {
                fprintf(stderr, "kelsim usb: bad value for --vanish-after: %s\n", v.c_str());
                return 2;
            }
        } else if (a == "--boards") {
            if (!number(1, 16, &n))
                return 2;
            boardCount = int(n);
        } else if (a == "--serial-boards") {
            if (!number(0, 16, &n))
                return 2;
            serialCount = int(n);
        } else if (a == "--serial-pace") {
            serialPace = true;
        } else if (a == "--fault") {
            if (!value(&v))
                return 2;
            const size_t colon = v.find(':');
            long long k = 0;
            if (colon == std::string::npos || !parseNumber(v.substr(0, colon), 1, 16, &k)) {
                fprintf(stderr, "kelsim usb: bad value for --fault: %s (K:FAULT)\n", v.c_str());
                return 2;
            }
            faults.push_back({int(k), v.substr(colon + 1)});
        } else if (a == "--link") {
            if (!value(&v))
                return 2;
            if (v != "hs") {
                fprintf(stderr, "kelsim usb: unknown link %s (hs)\n", v.c_str());
                return 2;
            }
            link = kelsim::UsbLinkModel::highSpeed();
        } else if (a == "--rate") {
            if (!number(1000, (long long)kelsim::UsbLinkModel::kHighSpeedBytesPerSecond, &n))
                return 2;
            link.bytesPerSecond = double(n);
        } else if (a == "--churn") {
            if (!number(1, 1000000, &n))
                return 2;
            churn = int(n);
        } else if (a == "--churn-log") {
            if (!value(&churnLog))
                return 2;
        } else if (a == "--seed") {
            if (!number(0, 0xFFFFFFFFll, &seed))
                return 2;
        } else if (a == "--no-uevents") {
            uevents = false;
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            fprintf(stderr, "kelsim usb: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (cmdAt < 0 || cmdAt >= argc) {
        fprintf(stderr, "kelsim usb: no command given\n");
        usage(stderr);
        return 2;
    }

    if (!kelsim::UsbBoardSim::available())
        return reexec(argc, argv);

    if (churn > 0 && (!faults.empty() || !dumpDir.empty())) {
        fprintf(stderr, "kelsim usb: --churn draws its own faults and keeps no dump\n");
        return 2;
    }
    for (const auto &f : faults) {
        if (f.first > boardCount) {
            fprintf(stderr, "kelsim usb: --fault names board %d of %d\n", f.first, boardCount);
            return 2;
        }
    }
    if (int(port.back()) + boardCount - 1 > 255) {
        fprintf(stderr, "kelsim usb: no room for %d ports after %d\n", boardCount, port.back());
        return 2;
    }

    std::vector<std::unique_ptr<kelsim::Board>> boards;
    std::vector<int> arrivals(size_t(boardCount), -1);  // ms after the start; -1: at once
    // Board K goes into board J's port once J has been told to reset (J, 1-based; 0: none).
    std::vector<int> replaces(size_t(boardCount), 0);
    for (int k = 1; k <= boardCount && churn == 0; ++k) {
        kelsim::BoardConfig own = cfg;
        std::vector<std::string> mine;
        for (const auto &f : faults)
            if (f.first == k)
                mine.push_back(f.second);
        for (const std::string &f : mine) {
            long long ms = 0;
            if (f.rfind("run-away=", 0) == 0 && parseNumber(f.substr(9), 0, 600000, &ms)) {
                own.runAwayMs = int(ms);
            } else if (f.rfind("arrive=", 0) == 0 && parseNumber(f.substr(7), 0, 600000, &ms)) {
                arrivals[k - 1] = int(ms);
            } else if (f.rfind("replaces=", 0) == 0 &&
                       parseNumber(f.substr(9), 1, boardCount, &ms) && ms != k) {
                replaces[k - 1] = int(ms);
                arrivals[k - 1] = -2;  // not before board J's reset
            } else if (f.rfind("vanish@", 0) != 0 && f != "wrong-crc" &&
                       f.rfind("fail-cmd=", 0) != 0 && f != "other-after-run") {
                fprintf(stderr, "kelsim usb: unknown fault %s\n", f.c_str());
                return 2;
            }
        }
        char chip[16];
        snprintf(chip, sizeof chip, "SIM-%06d", k);
        own.chipId = chip;
        auto board = std::make_unique<kelsim::Board>(own);
        for (auto &fc : failCmds)
            board->failCommand(fc.first, fc.second);
        board->setZeroBlockSize(zeroBlock);
        board->setWrongCrc(wrongCrc);
        board->setBurnResult(uint32_t(burnResult));
        if (vanishBytes > 0)
            board->vanishAfterBytes(uint64_t(vanishBytes), int(vanishMs));
        for (const std::string &f : mine) {
            long long v = 0;
            if (f == "wrong-crc") {
                board->setWrongCrc(true);
            } else if (f == "other-after-run") {
                char other[16];
                snprintf(other, sizeof other, "SIM-9%05d", k);
                board->setChipIdAfterRun(other);
            } else if (f.rfind("fail-cmd=", 0) == 0) {
                if (!parseNumber(f.substr(9), 0, 255, &v)) {
                    fprintf(stderr, "kelsim usb: bad fault %s\n", f.c_str());
                    return 2;
                }
                board->failCommand(uint8_t(v), 1);
            } else if (f.rfind("vanish@", 0) == 0) {
                std::string name = f.substr(7);
                long long away = -1;
                const size_t colon = name.find(':');
                if (colon != std::string::npos) {
                    if (!parseNumber(name.substr(colon + 1), 0, 600000, &away)) {
                        fprintf(stderr, "kelsim usb: bad fault %s\n", f.c_str());
                        return 2;
                    }
                    name.resize(colon);
                }
                board->vanishInComponent(name, int(away));
            }
        }
        boards.push_back(std::move(board));
    }

    // Serial boards: each on a pseudo-terminal of its own, for the whole run.
    std::vector<std::unique_ptr<kelsim::Board>> serialBoards;
    std::vector<std::unique_ptr<kelsim::SerialLine>> serialLines;
    std::string serialPorts;
    std::string serialDir;
    for (int k = 0; k < serialCount; ++k) {
        serialBoards.push_back(std::make_unique<kelsim::Board>(cfg));
        kelsim::SerialLine::Options opt;
        opt.pace = serialPace;
        serialLines.push_back(std::make_unique<kelsim::SerialLine>(*serialBoards.back(), opt));
        std::string error;
        if (!serialLines.back()->start(&error)) {
            fprintf(stderr, "kelsim usb: cannot serve serial board %d: %s\n", k + 1, error.c_str());
            return kOwnFailure;
        }
        // umockdev's library takes over every path under /dev in COMMAND; a
        // link elsewhere leads COMMAND to the real pseudo-terminal.
        if (serialDir.empty()) {
            char tmpl[] = "/tmp/kelsim-serial-XXXXXX";
            if (!mkdtemp(tmpl)) {
                fprintf(stderr, "kelsim usb: cannot make a directory: %s\n", strerror(errno));
                return kOwnFailure;
            }
            serialDir = tmpl;
        }
        const std::string link = serialDir + "/serial" + std::to_string(k + 1);
        if (symlink(serialLines.back()->slavePath().c_str(), link.c_str()) != 0) {
            fprintf(stderr, "kelsim usb: cannot link %s: %s\n", link.c_str(), strerror(errno));
            return kOwnFailure;
        }
        serialPorts += (serialPorts.empty() ? "" : " ") + link;
    }
    if (serialCount > 0) {
        setenv("KELSIM_SERIAL_PORTS", serialPorts.c_str(), 1);
        // KelFlash and kelflash-cli offer these besides the system's ports.
        kelsim::prependToVariable("KELFLASH_EXTRA_SERIAL_PORTS", serialPorts);
    }

    int status = 0;
    {
        kelsim::UsbBoardSim sim;
        sim.setUevents(uevents);
        sim.setLink(link);
        if (dummies)
            sim.addDummyDevices(dummies, bus);
        std::vector<int> ids(boards.size(), -1);
        // Board k in the port of board `place` (itself unless it replaces another).
        auto attach = [&](size_t k, size_t place) {
            std::vector<uint8_t> at = port;
            at.back() = uint8_t(at.back() + place);
            int id = sim.attach(*boards[k], bus, at);
            if (id < 0 || !sim.waitPresent(id, true, 5000)) {
                fprintf(stderr, "kelsim usb: cannot attach board %zu\n", k + 1);
                return false;
            }
            ids[k] = id;
            return true;
        };
        for (size_t k = 0; k < boards.size(); ++k)
            if (arrivals[k] == -1 && !attach(k, k))
                return kOwnFailure;

        std::unique_ptr<kelsim::UsbChurn> churner;
        if (churn > 0) {
            kelsim::ChurnOptions opt;
            opt.boards = churn;
            opt.ports = boardCount;
            opt.bus = bus;
            opt.firstPort = port;
            opt.seed = uint32_t(seed);
            churner = std::make_unique<kelsim::UsbChurn>(sim, cfg, opt);
            std::string error;
            if (!churner->openLog(churnLog, &error)) {
                fprintf(stderr, "kelsim usb: cannot write the churn log %s\n", error.c_str());
                return kOwnFailure;
            }
        }
        // Once every board is through, COMMAND (a station) has a while to end
        // by itself; then it is asked to stop, and asked again.
        std::chrono::steady_clock::time_point churnOver{};
        int stopsAsked = 0;

        unsetenv(kReexecGuard);
        // Boards that arrive later are attached while COMMAND runs.
        const auto begun = std::chrono::steady_clock::now();
        status = kelsim::runCommand("usb", argv + cmdAt, [&] {
            if (churner) {
                const auto now = std::chrono::steady_clock::now();
                if (churnOver == std::chrono::steady_clock::time_point{}) {
                    if (!churner->step())
                        churnOver = now;
                    return true;
                }
                if (now - churnOver >= std::chrono::seconds(10 * (stopsAsked + 1))) {
                    kelsim::interruptCommand();
                    ++stopsAsked;
                }
                return stopsAsked < 2;
            }
            bool pending = false;
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - begun)
                                .count();
            for (size_t k = 0; k < boards.size(); ++k) {
                const size_t place = replaces[k] > 0 ? size_t(replaces[k] - 1) : k;
                if (arrivals[k] == -2) {
                    // The operator takes the burnt board out and puts the next one in.
                    const auto said = boards[place]->cmdlines();
                    if (std::find(said.begin(), said.end(), "reset") != said.end()) {
                        if (ids[place] >= 0)
                            sim.detach(ids[place]);
                        ids[place] = -1;
                        arrivals[k] = int(ms) + 500;
                    }
                } else if (arrivals[k] >= 0 && ms >= arrivals[k]) {
                    arrivals[k] = -1;
                    attach(k, place);
                }
                pending = pending || arrivals[k] != -1;
            }
            return pending;
        });
        if (churner && !quiet)
            fprintf(stderr, "kelsim: %d of %d boards went through, %d of them with a fault\n",
                    churner->through(), churn, churner->faulty());
        churner.reset();
        sim.detach();
    }

    for (auto &line : serialLines)
        line->stop();
    for (int k = 0; k < serialCount && !serialDir.empty(); ++k)
        unlink((serialDir + "/serial" + std::to_string(k + 1)).c_str());
    if (!serialDir.empty())
        rmdir(serialDir.c_str());
    for (size_t k = 0; k < serialBoards.size(); ++k) {
        if (!dumpDir.empty() &&
            !dump(*serialBoards[k], dumpDir + "/serial" + std::to_string(k + 1)) && status == 0)
            status = kOwnFailure;
    }
    for (size_t k = 0; k < boards.size(); ++k) {
        const kelsim::Board &board = *boards[k];
        const std::string who = boards.size() > 1 ? " " + std::to_string(k + 1) : "";
        if (!quiet) {
            auto comps = board.components();
            fprintf(stderr, "kelsim: board%s in %s, %zu commands, %zu components received\n",
                    who.c_str(), kelsim::stageName(board.stage()), board.commandLog().size(),
                    comps.size());
            for (const auto &c : comps)
                fprintf(stderr, "kelsim:   %s -> %s, %u bytes, %s\n", c.name.c_str(),
                        (c.partition.empty() ? c.name : c.partition).c_str(), c.size,
                        c.complete ? "complete" : "failed");
        }
        const std::string dir =
            boards.size() > 1 ? dumpDir + "/board" + std::to_string(k + 1) : dumpDir;
        if (!dumpDir.empty() && !dump(board, dir) && status == 0)
            status = kOwnFailure;
    }
    return status;
}
