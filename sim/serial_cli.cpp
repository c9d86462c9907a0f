#include "serial_cli.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "board.h"
#include "run_command.h"
#include "serial_line.h"
#include "serial_raw.h"

namespace {

void usage(FILE *out) {
    fprintf(out,
            "usage: kelsim serial [--stage brom|uboot] [--pace] [-- COMMAND [ARGS...]]\n"
            "       kelsim serial --raw [--pace] [--serve FILE] [--sink FILE]\n"
            "  Creates a pty, prints its path and serves the board's end of the\n"
            "  serial upgrade line until SIGINT or SIGTERM. With COMMAND, runs it\n"
            "  instead, with the pty's path put in front of KELFLASH_EXTRA_SERIAL_PORTS\n"
            "  (so that KelFlash offers the port), serves the board while it runs\n"
            "  and exits with its status.\n"
            "  --stage S     stage the board starts in (default brom)\n"
            "  --raw         no upgrade service: keep what the host sends and answer\n"
            "                receives from --serve\n"
            "  --pace        carry bytes no faster than a 115200 baud line\n"
            "  --serve FILE  (raw) bytes to answer the host's receives with\n"
            "  --sink FILE   (raw) write what the host sent here on exit\n");
}

}  // namespace

int kelsim_serial_main(int argc, char **argv) {
    bool raw = false;
    kelsim::BoardConfig cfg;
    kelsim::SerialLine::Options opt;
    std::string serveFile;
    std::string sinkFile;
    int cmdAt = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            cmdAt = i + 1;
            break;
        }
        auto value = [&](std::string *out) {
            if (i + 1 >= argc) {
                fprintf(stderr, "kelsim serial: %s needs a value\n", a.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        if (a == "--raw") {
            raw = true;
        } else if (a == "--stage") {
            std::string v;
            if (!value(&v))
                return 2;
            if (v == "brom" || v == "bootrom") {
                cfg.initialStage = kelsim::Stage::BootRom;
            } else if (v == "uboot") {
                cfg.initialStage = kelsim::Stage::UBoot;
            } else {
                fprintf(stderr, "kelsim serial: unknown stage %s\n", v.c_str());
                return 2;
            }
        } else if (a == "--pace") {
            opt.pace = true;
        } else if (a == "--serve") {
            if (!value(&serveFile))
                return 2;
        } else if (a == "--sink") {
            if (!value(&sinkFile))
                return 2;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else {
            fprintf(stderr, "kelsim serial: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }

    if (cmdAt >= argc) {
        fprintf(stderr, "kelsim serial: no command after --\n");
        return 2;
    }
    if (!raw && (!serveFile.empty() || !sinkFile.empty())) {
        fprintf(stderr, "kelsim serial: --serve and --sink need --raw\n");
        return 2;
    }
    std::unique_ptr<kelsim::RawBoardPort> rawPort;
    std::unique_ptr<kelsim::Board> board;
    kelsim::BoardPort *port = nullptr;
    if (!raw) {
        board.reset(new kelsim::Board(cfg));
        port = board.get();
    } else {
        rawPort.reset(new kelsim::RawBoardPort);
        if (!serveFile.empty()) {
            std::ifstream in(serveFile, std::ios::binary);
            if (!in) {
                fprintf(stderr, "kelsim serial: cannot read %s\n", serveFile.c_str());
                return 1;
            }
            rawPort->serve(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
        }
        port = rawPort.get();
    }

    kelsim::SerialLine line(*port, opt);
    std::string error;
    if (!line.start(&error)) {
        fprintf(stderr, "kelsim serial: cannot create a pty: %s\n", error.c_str());
        return cmdAt > 0 ? kelsim::kOwnFailure : 1;
    }
    int status = 0;
    if (cmdAt > 0) {
        kelsim::prependToVariable("KELFLASH_EXTRA_SERIAL_PORTS", line.slavePath());
        status = kelsim::runCommand("serial", argv + cmdAt);
    } else {
        kelsim::printAndWaitForStop(line.slavePath());
    }
    line.stop();

    if (rawPort && !sinkFile.empty()) {
        std::vector<uint8_t> got = rawPort->received();
        std::ofstream out(sinkFile, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(got.data()),
                  static_cast<std::streamsize>(got.size()));
        if (!out) {
            fprintf(stderr, "kelsim serial: cannot write %s\n", sinkFile.c_str());
            return cmdAt > 0 ? kelsim::kOwnFailure : 1;
        }
    }
    return status;
}
