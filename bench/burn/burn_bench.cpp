// Full burns through BurnThread: a large image onto the simulated USB board and
// a small one onto the simulated serial board at 115200 baud.
//
//   burn_bench [serial-KiB]      (default 1024)
//
// The USB burns run in a child process on kelsim's emulated bus, so that the
// peak resident size measured there is the burner's alone (the simulated
// board keeps everything it receives in memory, in kelsim's process).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "bench_image.h"
#include "board.h"
#include "burnthread.h"
#include "imagecheck.h"
#include "imagefile.h"
#include "kellinkerserial.h"
#include "kellinkerusb.h"
#include "libkelupg.h"
#include "serial_line.h"
#include "upg_log.h"

namespace {

long peakRssKiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Runs one job to its end; returns milliseconds, or -1 on failure.
qint64 burn(ImageFile &image, KelLinker &link, quint32 *bytes) {
    BurnThread worker(&image, &link, false, false, 1);
    bool ok = false;
    QObject::connect(&worker, &KelThread::threadIsSuccessful, [&ok] { ok = true; });
    QObject::connect(&worker, &KelThread::threadIsRunning, [bytes](int p) { *bytes = quint32(p); });
    QElapsedTimer clock;
    clock.start();
    worker.start();
    worker.wait();
    return ok ? clock.elapsed() : -1;
}

// Child: burns IMAGE onto the first board on the (emulated) bus.
int hostUsb(const char *imagePath) {
    ImageFile image;
    image.setPath(QString::fromLocal8Bit(imagePath));
    if (image.loadHeader() != 0)
        return 1;
    libkelupg_init();
    quint32 bytes = 0;
    qint64 ms = -1;
    {
        KelLinkerUSB link;
        const QStringList devices = link.listDevices();
        if (devices.isEmpty() || !link.fetchDeviceInfo(devices.first(), false))
            return 1;
        ms = burn(image, link, &bytes);
    }
    libkelupg_exit();
    printf("%lld %u %ld\n", (long long)ms, bytes, peakRssKiB());
    return ms < 0 ? 1 : 0;
}

// What --sha256 and --check-crc add before a burn (once per image, whatever
// the number of boards), against reading the file alone; the image was just
// written, so both read it from the page cache.
void checkRun(const std::string &path, size_t mib) {
    QElapsedTimer clock;
    clock.start();
    FILE *f = fopen(path.c_str(), "rb");
    std::vector<char> buf(4 << 20);
    while (f && fread(buf.data(), 1, buf.size(), f) > 0) {
    }
    if (f)
        fclose(f);
    const qint64 readMs = qMax<qint64>(clock.elapsed(), 1);
    ImageFile image;
    image.setPath(QString::fromStdString(path));
    image.loadHeader();
    ImageCheck check;
    check.setComputeSha256(true);
    check.setCheckCrc(true);
    clock.restart();
    const bool ok = check.run(image) && check.crcMismatches().isEmpty();
    const qint64 ms = qMax<qint64>(clock.elapsed(), 1);
    printf(
        "check  %3zu MiB image: SHA-256 + CRC-32 in one read %lld ms (%.0f MB/s)%s, "
        "reading alone %lld ms\n",
        mib, (long long)ms, (mib << 20) / 1e6 / (ms / 1000.0), ok ? "" : " FAILED",
        (long long)readMs);
}

bool usbRun(const QString &self, size_t mib) {
    const std::string path = "burn_bench_" + std::to_string(mib) + ".img";
    if (!makeBenchImage(path, mib << 20, 12345u))
        return false;
    checkRun(path, mib);
    QProcess p;
    const QString kelsim = QCoreApplication::applicationDirPath() + "/../../sim/kelsim";
    p.start(kelsim, {"usb", "--quiet", "--stage", "uboot", "--", self, "--host-usb",
                     QString::fromStdString(path)});
    p.waitForFinished(-1);
    remove(path.c_str());
    long long ms = -1;
    unsigned bytes = 0;
    long rss = 0;
    if (p.exitCode() != 0 ||
        sscanf(p.readAllStandardOutput().constData(), "%lld %u %ld", &ms, &bytes, &rss) != 3) {
        fprintf(stderr, "USB burn of %zu MiB failed: %s\n", mib,
                p.readAllStandardError().constData());
        return false;
    }
    printf("USB    %3zu MiB image: %7.1f MB/s  (%lld ms)  burner peak RSS %ld KiB\n", mib,
           bytes / 1e6 / (ms / 1000.0), ms, rss);
    return true;
}

bool serialRun(size_t kib) {
    const std::string path = "burn_bench_serial.img";
    if (!makeBenchImage(path, kib << 10, 12345u))
        return false;
    kelsim::BoardConfig cfg;
    cfg.initialStage = kelsim::Stage::UBoot;
    kelsim::Board board(cfg);
    kelsim::SerialLine::Options opt;
    opt.pace = true;
    kelsim::SerialLine line(board, opt);
    std::string error;
    if (!line.start(&error)) {
        fprintf(stderr, "serial line: %s\n", error.c_str());
        return false;
    }
    ImageFile image;
    image.setPath(QString::fromStdString(path));
    image.loadHeader();
    quint32 bytes = 0;
    qint64 ms = -1;
    {
        KelLinkerSerial link;
        link.setConnectWait(5000);
        if (link.fetchDeviceInfo(QString::fromStdString(line.slavePath()), false))
            ms = burn(image, link, &bytes);
    }
    line.stop();
    libkelupg_exit();
    remove(path.c_str());
    if (ms < 0) {
        fprintf(stderr, "serial burn failed\n");
        return false;
    }
    const double rate = bytes / (ms / 1000.0);
    printf(
        "Serial %4zu KiB image: %7.0f B/s = %.1f%% of the 115200 baud line (11520 B/s), %lld ms\n",
        kib, rate, 100.0 * rate / 11520.0, ms);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    // BURN_BENCH_VERBOSE=1 shows the worker's messages.
    if (qEnvironmentVariableIsEmpty("BURN_BENCH_VERBOSE")) {
        upg_log_set_callback(benchQuietLog);
        qInstallMessageHandler(benchQuietQt);
    }
    if (argc == 3 && std::string(argv[1]) == "--host-usb")
        return hostUsb(argv[2]);
    const size_t serialKiB = argc > 1 ? size_t(atol(argv[1])) : 1024;

    const QString self = QCoreApplication::applicationFilePath();
    bool ok = qEnvironmentVariableIsSet("BURN_BENCH_SERIAL_ONLY") ||
              (usbRun(self, 16) && usbRun(self, 64));
    if (ok && serialKiB > 0)
        ok = serialRun(serialKiB);
    return ok ? 0 : 1;
}
