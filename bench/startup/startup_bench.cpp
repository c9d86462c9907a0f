// Time to first paint of KelFlash against a minimal Qt window built with the same
// flags, on the offscreen platform. The two are started alternately, each in a
// fresh working directory, so that both see the same machine load and caches;
// the result is the median of each and their ratio.
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

    // One unmeasured round each: the first start pays for the page cache.
    timeToFirstPaint(hello);
    timeToFirstPaint(kelflash);

    std::vector<double> k, h, ratios;
    for (int i = 0; i < rounds; ++i) {
        const double a = timeToFirstPaint(hello);
        const double b = timeToFirstPaint(kelflash);
        if (a <= 0 || b <= 0) {
            return 1;
        }
        h.push_back(a);
        k.push_back(b);
        ratios.push_back(b / a);
    }
    std::printf("first paint, median of %d: KelFlash %.1f ms, minimal Qt window %.1f ms\n",
                rounds, median(k), median(h));
    std::printf("ratio (median of the per-round ratios): %.2f\n", median(ratios));
    return 0;
}
