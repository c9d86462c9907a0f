// Component-data throughput to a simulated board on the emulated USB bus:
// kelupg_cmd_send_fwc_data_update against a bare CBW / 64 KiB / CSW loop on
// raw libusb, so the cost of the library's layers over the emulation shows.
//
// Run under umockdev: umockdev-wrapper bench/usb/usb_bench [MiB]
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board.h"
#include "libkelupg.h"
#include "usb_board.h"

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

}  // namespace

int main(int argc, char **argv) {
    if (!kelsim::UsbBoardSim::available()) {
        fprintf(stderr, "run under umockdev-wrapper\n");
        return 2;
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
