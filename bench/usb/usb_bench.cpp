// USB burning against a simulated board.
//
//   usb_bench [MiB]        (the link part burns 256 MiB; MiB: the emulator part, default 64)
//
// On the link: kelflash-cli burns a 256 MiB component and a 4 KiB one onto a
// board that kelsim paces as a USB 2.0 high-speed link would (--link hs). The
// small burn is the fixed set-up time of a burn; the rest of the big one is
// the burner's rate, set against the best the link model allows for its
// stream of CBW / 64 KiB / CSW transfers.
//
// On the bare emulation (in this process, under umockdev-wrapper, which the
// bench starts by itself): kelupg_cmd_send_fwc_data_update against a bare
// CBW / 64 KiB / CSW loop on raw libusb, so the cost of the library's layers
// over the emulation shows.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_image.h"
#include "board.h"
#include "libkelupg.h"
#include "usb_board.h"
#include "usb_link.h"

namespace {

constexpr int kChunk = 1 << 20;  // what the burn worker hands over per call
constexpr int kRounds = 3;

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double thread_cpu_s() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double process_cpu_s() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct Figures {
    double wall, thread_cpu, process_cpu;
};

void print(const char *what, const Figures &f, uint64_t bytes) {
    const double gib = double(bytes) / double(1ull << 30);
    printf("%-32s %8.1f MB/s   caller %6.2f CPU s/GiB   process %6.2f CPU s/GiB\n", what,
           double(bytes) / 1e6 / f.wall, f.thread_cpu / gib, f.process_cpu / gib);
}

std::vector<uint8_t> meta_record(const char *name, uint32_t size) {
    std::vector<uint8_t> m(UPG_FWC_META_SIZE, 0);
    memcpy(m.data(), "KEL.FWC", 7);
    memcpy(m.data() + 8, name, strlen(name));
    memcpy(m.data() + 72, name, strlen(name));
    for (int i = 0; i < 4; i++)
        m[140 + i] = uint8_t(size >> (8 * i));
    return m;
}

template <typename F>
Figures measure(F body) {
    double w0 = now_s(), t0 = thread_cpu_s(), p0 = process_cpu_s();
    if (!body())
        exit(1);
    return {now_s() - w0, thread_cpu_s() - t0, process_cpu_s() - p0};
}

// The same packets as the library sends, with nothing around them: one
// prepared CBW per packet, the data, the CSW, its signature checked.
bool raw_loop(libusb_device_handle *h, const uint8_t *data, uint32_t total, uint32_t tag0) {
    uint8_t cbw[31], csw[13];
    uint32_t tag = tag0;
    for (uint32_t done = 0; done < total;) {
        const uint32_t n = std::min<uint32_t>(UPG_PKT_SIZE_LARGE, total - done);
        kelupg_trans_build_cbw(cbw, tag++, n, false);
        int moved = 0;
        if (libusb_bulk_transfer(h, 0x01, cbw, 31, &moved, 10000) != 0 || moved != 31)
            return false;
        if (libusb_bulk_transfer(h, 0x01, const_cast<uint8_t *>(data + done % kChunk), int(n),
                                 &moved, 10000) != 0 ||
            moved != int(n))
            return false;
        if (libusb_bulk_transfer(h, 0x81, csw, 13, &moved, 10000) != 0 || moved != 13 ||
            memcmp(csw, "USBS", 4) != 0)
            return false;
        done += n;
    }
    return true;
}

std::string selfDir() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return ".";
    self[n] = 0;
    std::string s = self;
    return s.substr(0, s.rfind('/'));
}

// Runs argv to its end; its output goes to `log`. Returns its exit status.
int runTo(char **argv, const char *log, rusage *ru = nullptr) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execv(argv[0], argv);
        _exit(127);
    }
    int ws = 0;
    rusage own{};
    if (pid < 0 || wait4(pid, &ws, 0, ru ? ru : &own) != pid)
        return 1;
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 1;
}

constexpr const char *kBurnLog = "usb_bench_burn.log";

// Child of kelsim: runs the burner and reports its wall and CPU time on stdout.
int hostBurner(char **argv) {
    rusage ru{};
    const double t0 = now_s();
    const int status = runTo(argv, kBurnLog, &ru);
    const double wall = now_s() - t0;
    printf("%.4f %.3f\n", wall,
           ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
               (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6);
    return status;
}

// One burn of a one-component image of `bytes` through kelsim with a
// high-speed link (or none); the burner's own wall and CPU seconds.
bool linkBurn(size_t bytes, double *wall, double *cpu, bool paced = true) {
    const std::string image = "usb_bench_link.img";
    if (!makeBenchImage(image, bytes, 4242u))
        return false;
    const std::string dir = selfDir();
    const std::string kelsim = dir + "/../../sim/kelsim", self = dir + "/usb_bench",
                      cli = dir + "/../../cli/kelflash-cli";
    const char *args[] = {kelsim.c_str(), "usb",         "--quiet",    paced ? "--link" : "--bus",
                          paced ? "hs" : "1",
                          "--stage",      "uboot",       "--",         self.c_str(),   "--host",
                          cli.c_str(),    "burn",        image.c_str(), "--first",     "--no-reboot",
                          nullptr};
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        execv(args[0], const_cast<char **>(args));
        _exit(127);
    }
    close(fds[1]);
    char text[128] = {};
    size_t got = 0;
    for (ssize_t n; got < sizeof text - 1 && (n = read(fds[0], text + got, sizeof text - 1 - got)) > 0;)
        got += size_t(n);
    close(fds[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    remove(image.c_str());
    if (!WIFEXITED(ws) || WEXITSTATUS(ws) != 0 || sscanf(text, "%lf %lf", wall, cpu) != 2) {
        fprintf(stderr, "the burn of %zu bytes failed (see %s)\n", bytes, kBurnLog);
        return false;
    }
    return true;
}

bool linkPart() {
    constexpr size_t kBig = size_t(256) << 20, kSmall = 4096;
    constexpr int kLinkRounds = 2;
    remove(kBurnLog);
    const kelsim::UsbLinkModel hs = kelsim::UsbLinkModel::highSpeed();
    const double limit = hs.commandRate(UPG_PKT_SIZE_LARGE);
    double small = 1e30, big = 1e30, bigCpu = 0;
    for (int round = 0; round < kLinkRounds; ++round) {
        double w = 0, c = 0;
        if (!linkBurn(kSmall, &w, &c))
            return false;
        small = std::min(small, w);
        if (!linkBurn(kBig, &w, &c))
            return false;
        if (w < big) {
            big = w;
            bigCpu = c;
        }
    }
    const double rate = double(kBig - kSmall) / (big - small);
    printf("Link model USB 2.0 high speed: %.1f MB/s payload; %.2f MB/s for CBW / %d KiB / CSW\n",
           hs.bytesPerSecond / 1e6, limit / 1e6, UPG_PKT_SIZE_LARGE >> 10);
    printf("kelflash-cli burn, best of %d:\n", kLinkRounds);
    printf("  set-up of a burn (4 KiB component, whole command)   %.3f s\n", small);
    printf("  256 MiB component, whole command                    %.3f s (%.1f MB/s)\n", big,
           double(kBig) / 1e6 / big);
    printf("  256 MiB beyond the set-up: %.2f MB/s = %.3f of the link model's limit (goal 0.90)\n",
           rate / 1e6, rate / limit);
    printf("  burner CPU %.2f s for the 256 MiB burn (%.2f s per GiB)\n", bigCpu, bigCpu * 4);
    // The same burn with nothing but the emulation in the way: what this
    // machine can emulate at all, just now.
    double free = 0, freeCpu = 0;
    if (!linkBurn(kBig, &free, &freeCpu, false))
        return false;
    printf("  the same without the link model: %.3f s (%.1f MB/s beyond the set-up)\n", free,
           double(kBig - kSmall) / 1e6 / (free - small));
    // Per data phase with its command and status: the emulation's round
    // trips through umockdev's socket come on top of the wire time.
    const double commands = double(kBig) / UPG_PKT_SIZE_LARGE;
    printf("  per %d KiB command: link model %.3f ms, burner on the link %.3f ms, burner on the "
           "bare emulation %.3f ms\n",
           UPG_PKT_SIZE_LARGE >> 10, UPG_PKT_SIZE_LARGE / limit * 1e3,
           (big - small) / commands * 1e3, (free - small) / commands * 1e3);
    return true;
}

// Runs this program again under umockdev-wrapper for the emulator part.
int emulatorPartUnderWrapper(int argc, char **argv) {
    std::vector<char *> args;
    std::string self = selfDir() + "/usb_bench";
    args.push_back(const_cast<char *>("umockdev-wrapper"));
    args.push_back(const_cast<char *>(self.c_str()));
    args.push_back(const_cast<char *>("--emulator"));
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(args[0], args.data());
        _exit(127);
    }
    int ws = 0;
    if (pid < 0 || waitpid(pid, &ws, 0) != pid)
        return 1;
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 2 && std::string(argv[1]) == "--host")
        return hostBurner(argv + 2);
    const bool emulator = argc > 1 && std::string(argv[1]) == "--emulator";
    if (emulator) {
        --argc;
        ++argv;
    }
    if (!kelsim::UsbBoardSim::available()) {
        if (!linkPart())
            return 1;
        printf("\n");
        return emulatorPartUnderWrapper(argc, argv);
    }
    const uint32_t mib = argc > 1 ? uint32_t(atoi(argv[1])) : 64;
    const uint32_t total = mib << 20;

    kelsim::BoardConfig cfg;
    cfg.initialStage = kelsim::Stage::UBoot;
    kelsim::Board board(cfg);
    kelsim::UsbBoardSim sim;
    if (sim.attach(board, 1, {1, 4}) < 0)
        return 1;
    if (libkelupg_init() != 0)
        return 1;
    const uint8_t path[UPG_PORT_PATH_LEN] = {1, 4};
    upg_device *dev = upg_usb_dev_open(1, path);
    bool large = false;
    if (!dev || kelupg_probe_packet_size(dev, &large) != 0 || !large) {
        fprintf(stderr, "no U-Boot board on the emulated bus\n");
        return 1;
    }

    std::vector<uint8_t> chunk(kChunk);
    for (int i = 0; i < kChunk; i++)
        chunk[size_t(i)] = uint8_t(i * 13 + (i >> 10));

    printf("%u MiB of component data, %d-byte packets, emulated USB (umockdev), best of %d\n", mib,
           kelupg_get_max_transfer_size(), kRounds);

    // Rounds alternate between the two ways so that a busy machine hurts both
    // alike; the best round of each counts.
    Figures lib{1e30, 1e30, 1e30}, raw{1e30, 1e30, 1e30};
    auto keep_best = [](Figures &best, const Figures &f) {
        if (f.wall < best.wall)
            best.wall = f.wall;
        if (f.thread_cpu < best.thread_cpu)
            best.thread_cpu = f.thread_cpu;
        if (f.process_cpu < best.process_cpu)
            best.process_cpu = f.process_cpu;
    };
    for (int round = 0; round < kRounds; round++) {
        // Through the library.
        std::vector<uint8_t> meta = meta_record("bench_lib", total);
        if (kelupg_cmd_set_fwc_meta(dev, meta.data()) != 0 ||
            kelupg_cmd_send_fwc_data_start(dev, total) != 0)
            return 1;
        keep_best(lib, measure([&] {
                      for (uint32_t done = 0; done < total; done += kChunk)
                          if (kelupg_cmd_send_fwc_data_update(dev, chunk.data(), kChunk) != kChunk)
                              return false;
                      return true;
                  }));
        if (kelupg_cmd_send_fwc_data_final(dev) != 0)
            return 1;

        // Bare libusb on the same handle, the same board state machine.
        meta = meta_record("bench_raw", total);
        if (kelupg_cmd_set_fwc_meta(dev, meta.data()) != 0 ||
            kelupg_cmd_send_fwc_data_start(dev, total) != 0)
            return 1;
        const uint32_t tag0 = kelupg_trans_get_tag();
        keep_best(raw, measure([&] { return raw_loop(dev->handle, chunk.data(), total, tag0); }));
        if (kelupg_cmd_send_fwc_data_final(dev) != 0)
            return 1;
    }

    print("kelupg_cmd_send_fwc_data_update", lib, total);
    print("raw libusb CBW/64KiB/CSW", raw, total);
    printf("library overhead: %+.1f%% wall, %+.1f%% caller CPU\n",
           100.0 * (lib.wall / raw.wall - 1.0), 100.0 * (lib.thread_cpu / raw.thread_cpu - 1.0));
    const bool stored = board.partition("bench_lib").size() == total &&
                        board.partition("bench_raw").size() == total;
    printf("board stored both components: %s\n", stored ? "yes" : "NO");

    upg_usb_dev_close(dev);
    libkelupg_exit();
    return stored ? 0 : 1;
}
