// Several boards at once.
//
//   station_bench [serial-KiB] [USB-bytes/s]      (default 256, 8000000)
//
// Serial: four paced boards (115200 baud) burnt in parallel, each with its own
// link and worker; the figure is the aggregate payload rate over four times
// the line rate (11520 B/s each). USB: kelflash-cli burn --all onto one and
// onto four boards on kelsim's emulated bus: the wall times, and the burner's
// CPU time per GiB (its own process only, not the simulator's).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench_image.h"
#include "board.h"
#include "burnthread.h"
#include "imagefile.h"
#include "kellinkerserial.h"
#include "libkelupg.h"
#include "serial_line.h"
#include "upg_log.h"

namespace {

constexpr double kLineBytesPerSecond = 11520.0;
constexpr int kBoards = 4;
QString g_usbRate = QStringLiteral("8000000");
constexpr size_t kUsbMiB = 48;

bool serialRun(size_t kib) {
    const std::string path = "station_bench_serial.img";
    if (!makeBenchImage(path, kib << 10, 777u))
        return false;
    ImageFile image;
    image.setPath(QString::fromStdString(path));
    if (image.loadHeader() != 0 || !image.meta())
        return false;
    kelsim::BoardConfig cfg;
    cfg.initialStage = kelsim::Stage::UBoot;
    std::vector<std::unique_ptr<kelsim::Board>> boards;
    std::vector<std::unique_ptr<kelsim::SerialLine>> lines;
    std::vector<std::unique_ptr<KelLinkerSerial>> links;
    std::vector<std::unique_ptr<BurnThread>> workers;
    int succeeded = 0;
    quint64 bytes[kBoards] = {0};
    for (int i = 0; i < kBoards; ++i) {
        boards.push_back(std::make_unique<kelsim::Board>(cfg));
        kelsim::SerialLine::Options opt;
        opt.pace = true;
        lines.push_back(std::make_unique<kelsim::SerialLine>(*boards.back(), opt));
        std::string error;
        if (!lines.back()->start(&error)) {
            fprintf(stderr, "serial line: %s\n", error.c_str());
            return false;
        }
        links.push_back(std::make_unique<KelLinkerSerial>());
        links.back()->setConnectWait(5000);
        if (!links.back()->fetchDeviceInfo(QString::fromStdString(lines.back()->slavePath()),
                                           false)) {
            fprintf(stderr, "serial board %d does not answer\n", i + 1);
            return false;
        }
        workers.push_back(
            std::make_unique<BurnThread>(&image, links.back().get(), false, false, 1));
        QObject::connect(workers.back().get(), &KelThread::threadIsSuccessful,
                         [&succeeded] { ++succeeded; });
        QObject::connect(workers.back().get(), &KelThread::threadIsRunning,
                         [&bytes, i](qint64 p) { bytes[i] = quint64(p); });
    }
    QElapsedTimer clock;
    clock.start();
    for (auto &w : workers)
        w->start();
    for (auto &w : workers)
        w->wait();
    const qint64 ms = clock.elapsed();
    QCoreApplication::sendPostedEvents();
    workers.clear();
    links.clear();
    for (auto &l : lines)
        l->stop();
    libkelupg_exit();
    remove(path.c_str());
    if (succeeded != kBoards) {
        fprintf(stderr, "%d of %d serial burns failed\n", kBoards - succeeded, kBoards);
        return false;
    }
    quint64 total = 0;
    for (quint64 b : bytes)
        total += b;
    const double rate = total / (ms / 1000.0);
    printf(
        "Serial %d x %zu KiB in parallel: %.0f B/s aggregate = %.3f of 4 x 115200 baud "
        "(%lld ms)\n",
        kBoards, kib, rate, rate / (kBoards * kLineBytesPerSecond), (long long)ms);
    return true;
}

// Child of kelsim: runs kelflash-cli and reports its own CPU time.
int hostCli(char **argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv);
        _exit(127);
    }
    int ws = 0;
    rusage ru{};
    if (pid < 0 || wait4(pid, &ws, 0, &ru) != pid)
        return 1;
    printf("%.3f\n", ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
                         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 1;
}

bool usbRun(size_t mib, int boards, double *wallS) {
    const std::string path = "station_bench_usb.img";
    if (!makeBenchImage(path, mib << 20, 777u))
        return false;
    const QString dir = QCoreApplication::applicationDirPath();
    QProcess p;
    QElapsedTimer clock;
    clock.start();
    p.start(dir + "/../../sim/kelsim",
            {"usb", "--quiet", "--stage", "uboot", "--rate", g_usbRate, "--boards",
             QString::number(boards), "--",
             QCoreApplication::applicationFilePath(), "--host", dir + "/../../cli/kelflash-cli",
             "burn", QString::fromStdString(path), "--all", "--no-reboot"});
    p.waitForFinished(-1);
    *wallS = clock.elapsed() / 1000.0;
    remove(path.c_str());
    double cpu = 0;
    if (p.exitCode() != 0 || sscanf(p.readAllStandardOutput().constData(), "%lf", &cpu) != 1) {
        fprintf(stderr, "USB burn onto %d boards failed: %s\n", boards,
                p.readAllStandardError().constData());
        return false;
    }
    const double gib = double(mib) * boards / 1024.0;
    printf("USB    %d board(s) x %zu MiB at %s B/s each: wall %.2f s (%.2f MB/s in all), burner "
           "CPU %.2f s = %.1f s per GiB\n",
           boards, mib, g_usbRate.toLatin1().constData(), *wallS, double(mib << 20) * boards / 1e6 / *wallS, cpu,
           cpu / gib);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 2 && std::string(argv[1]) == "--host")
        return hostCli(argv + 2);
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("STATION_BENCH_VERBOSE")) {
        upg_log_set_callback(benchQuietLog);
        qInstallMessageHandler(benchQuietQt);
    }
    const size_t serialKiB = argc > 1 ? size_t(atol(argv[1])) : 256;
    if (argc > 2)
        g_usbRate = QString::fromLatin1(argv[2]);
    double one = 0, four = 0;
    bool ok = usbRun(kUsbMiB, 1, &one) && usbRun(kUsbMiB, kBoards, &four);
    // Rates of whole commands, set-up included, on both sides.
    if (ok)
        printf("USB    aggregate of four = %.3f of four times one board's rate (goal 0.90)\n",
               one / four);
    if (ok && serialKiB > 0)
        ok = serialRun(serialKiB);
    return ok ? 0 : 1;
}
