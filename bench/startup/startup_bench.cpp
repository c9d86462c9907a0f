// Time to first paint of KelFlash against a minimal Qt window built with the same
// flags, on the offscreen platform. The programs are started in turn, each in a
// fresh working directory, so that all see the same machine load and caches;
// the result is the median of each and their ratio. A third program, the
// minimal window with KelFlash's fonts on KelUI (which brings Qt Network and
// Qt D-Bus with it), shows how much of the ratio the look alone accounts for.
//
// Run by hand: bench/startup/startup_bench [rounds]   (default 21)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Milliseconds from starting `program` to its "painted" line; -1 on failure.
double timeToFirstPaint(const QString &program) {
    QTemporaryDir dir;
    QProcess child;
    child.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    QElapsedTimer timer;
    timer.start();
    child.start(program, QStringList());
    while (child.waitForReadyRead(10000)) {
        if (child.readAllStandardOutput().contains("painted")) {
            const double ms = double(timer.nsecsElapsed()) / 1e6;
            child.waitForFinished(5000);
            return ms;
        }
    }
    std::fprintf(stderr, "%s did not paint: %s\n", qPrintable(program),
                 child.readAllStandardError().constData());
    child.kill();
    child.waitForFinished();
    return -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 21;
    const QString dir = QCoreApplication::applicationDirPath();
    const QString kelflash = dir + "/startup_kelflash";
    const QString hello = dir + "/startup_hello";
    const QString fonts = dir + "/startup_fonts";

    // One unmeasured round each: the first start pays for the page cache.
    timeToFirstPaint(hello);
    timeToFirstPaint(kelflash);
    timeToFirstPaint(fonts);

    std::vector<double> k, h, f, ratios, fontRatios;
    for (int i = 0; i < rounds; ++i) {
        const double a = timeToFirstPaint(hello);
        const double b = timeToFirstPaint(kelflash);
        const double c = timeToFirstPaint(fonts);
        if (a <= 0 || b <= 0 || c <= 0) {
            return 1;
        }
        h.push_back(a);
        k.push_back(b);
        f.push_back(c);
        ratios.push_back(b / a);
        fontRatios.push_back(c / a);
    }
    std::printf("first paint, median of %d: KelFlash %.1f ms, minimal Qt window %.1f ms,\n"
                "  minimal window with KelFlash's fonts on KelUI %.1f ms\n",
                rounds, median(k), median(h), median(f));
    std::printf("ratio (median of the per-round ratios): %.2f\n", median(ratios));
    std::printf("minimal window with KelFlash's fonts on KelUI against the plain one: %.2f\n",
                median(fontRatios));
    return 0;
}
