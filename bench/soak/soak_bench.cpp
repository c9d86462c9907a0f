// The station under load.
//
//   soak_bench [boards] [seed]      (default 50 boards, seed 1)
//
// kelsim brings boards to four ports one after the other (--churn), each with
// a fault drawn from its list and the outcome that fault calls for, and takes
// each out once the burner is done with it; kelflash-cli burn --watch burns
// them as they come. Every board must get exactly the result its fault calls
// for: no false success, none passed by, none burnt twice. Meanwhile the
// burner's open file descriptors, threads and resident memory are read at
// every tenth of the boards: they must stay flat.
#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QVector>
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "image_pack.h"

namespace {

constexpr int kPorts = 4;
constexpr size_t kRootfsBytes = 1 << 20;

// A boot loader that runs from RAM, then the root file system.
bool makeImage(const std::string &path) {
    const std::string spl = path + ".spl", rootfs = path + ".rootfs";
    auto fill = [](const std::string &file, size_t n, uint32_t x) {
        FILE *f = fopen(file.c_str(), "wb");
        if (!f)
            return false;
        for (size_t i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            fputc(int(x >> 24), f);
        }
        return fclose(f) == 0;
    };
    ImagePackSpec spec;
    spec.platform = "KV7210";
    spec.product = "soak";
    spec.version = "1";
    ImagePackComponent a;
    a.name = "image.updater.spl";
    a.attributes = "run";
    a.dataFile = spl;
    ImagePackComponent b;
    b.name = "image.target.rootfs";
    b.partition = "rootfs";
    b.attributes = "burn";
    b.dataFile = rootfs;
    spec.components = {a, b};
    std::string error;
    const bool ok = fill(spl, 24 * 1024, 5u) && fill(rootfs, kRootfsBytes, 6u) &&
                    image_pack_write(spec, path, &error) == 0;
    remove(spl.c_str());
    remove(rootfs.c_str());
    if (!ok)
        fprintf(stderr, "pack: %s\n", error.c_str());
    return ok;
}

// What /proc tells of a process: open descriptors, threads, resident KiB.
bool sample(pid_t pid, int *fds, int *threads, long *rssKiB) {
    const std::string dir = "/proc/" + std::to_string(pid);
    DIR *d = opendir((dir + "/fd").c_str());
    if (!d)
        return false;
    *fds = 0;
    while (dirent *e = readdir(d))
        *fds += e->d_name[0] != '.';
    closedir(d);
    FILE *f = fopen((dir + "/status").c_str(), "r");
    if (!f)
        return false;
    char line[256];
    *threads = -1;
    *rssKiB = -1;
    while (fgets(line, sizeof line, f)) {
        sscanf(line, "Threads: %d", threads);
        sscanf(line, "VmRSS: %ld", rssKiB);
    }
    fclose(f);
    return *threads >= 0 && *rssKiB >= 0;
}

// Child of kelsim: runs the burner with its JSON lines on a pipe, passes on the
// results and the summary, and reads the burner's figures at every tenth of
// the boards (and after the first).
int host(int boards, char **argv) {
    int fds[2];
    if (pipe(fds) != 0)
        return 1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        const int log = open("soak_burner.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0)
            dup2(log, 2);
        close(fds[0]);
        execv(argv[0], argv);
        _exit(127);
    }
    close(fds[1]);
    FILE *in = fdopen(fds[0], "r");
    char buf[8192];
    int results = 0, step = 0;
    while (in && fgets(buf, sizeof buf, in)) {
        const QJsonObject o = QJsonDocument::fromJson(QByteArray(buf)).object();
        const QString event = o.value(QStringLiteral("event")).toString();
        if (event != QLatin1String("result") && event != QLatin1String("summary"))
            continue;
        fputs(buf, stdout);
        if (event != QLatin1String("result"))
            continue;
        ++results;
        if (results == 1 || results * 10 >= (step + 1) * boards) {
            while (results * 10 >= (step + 1) * boards)
                ++step;
            int n = 0, t = 0;
            long rss = 0;
            if (sample(pid, &n, &t, &rss))
                printf("{\"event\":\"sample\",\"results\":%d,\"fds\":%d,\"threads\":%d,"
                       "\"rss_kib\":%ld}\n",
                       results, n, t, rss);
        }
        fflush(stdout);
    }
    if (in)
        fclose(in);
    int ws = 0;
    waitpid(pid, &ws, 0);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 1;
}

struct LogBoard {
    int index = 0;
    QString port, fault;
    bool expectOk = false;
    int received = 0, complete = 0, resets = 0;
    bool touched = false;
    bool cut = false;
};

QVector<LogBoard> readChurnLog(const QString &path) {
    QVector<LogBoard> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &raw : f.readAll().split('\n')) {
        if (raw.trimmed().isEmpty())
            continue;
        QHash<QString, QString> kv;
        for (const QByteArray &field : raw.split(' ')) {
            const int eq = field.indexOf('=');
            if (eq > 0)
                kv.insert(QString::fromLatin1(field.left(eq)), QString::fromLatin1(field.mid(eq + 1)));
        }
        LogBoard b;
        b.index = kv.value(QStringLiteral("board")).toInt();
        b.port = kv.value(QStringLiteral("port"));
        b.fault = kv.value(QStringLiteral("fault"));
        b.expectOk = kv.value(QStringLiteral("expect")) == QLatin1String("ok");
        b.received = kv.value(QStringLiteral("received")).toInt();
        b.complete = kv.value(QStringLiteral("complete")).toInt();
        b.resets = kv.value(QStringLiteral("resets")).toInt();
        b.touched = kv.value(QStringLiteral("touched")) == QLatin1String("1");
        b.cut = kv.contains(QStringLiteral("cut"));
        out.append(b);
    }
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 3 && std::string(argv[1]) == "--host")
        return host(atoi(argv[2]), argv + 3);
    QCoreApplication app(argc, argv);
    const int boards = argc > 1 ? atoi(argv[1]) : 50;
    const QString seed = argc > 2 ? QString::fromLatin1(argv[2]) : QStringLiteral("1");
    if (boards < 1) {
        fprintf(stderr, "usage: soak_bench [boards] [seed]\n");
        return 2;
    }
    const std::string image = "soak_bench.img";
    if (!makeImage(image))
        return 1;
    const QString dir = QCoreApplication::applicationDirPath();
    const QString log = QStringLiteral("soak_churn.log");
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.setStandardErrorFile(QStringLiteral("soak_kelsim.log"));
    QElapsedTimer clock;
    clock.start();
    p.start(dir + "/../../sim/kelsim",
            {"usb", "--boards", QString::number(kPorts), "--churn", QString::number(boards),
             "--churn-log", log, "--seed", seed, "--", QCoreApplication::applicationFilePath(),
             "--host", QString::number(boards), dir + "/../../cli/kelflash-cli", "burn",
             QString::fromStdString(image), "--watch", "--count", QString::number(boards),
             "--verify", "--json"});
    printf("%d boards on %d ports through kelflash-cli burn --watch (seed %s)\n", boards, kPorts,
           seed.toLatin1().constData());
    QHash<QString, QVector<bool>> results;  // location -> the burner's results in order
    QVector<QJsonObject> samples;
    int resultCount = 0;
    bool summaryOk = false;
    auto take = [&](const QByteArray &line) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        const QString event = o.value(QStringLiteral("event")).toString();
        if (event == QLatin1String("result")) {
            results[o.value(QStringLiteral("board")).toString()].append(
                o.value(QStringLiteral("ok")).toBool());
            ++resultCount;
        } else if (event == QLatin1String("sample")) {
            samples.append(o);
            printf("  after %4d boards (%3d %%, %6.1f s): %3d fds, %3d threads, %7.1f MiB resident\n",
                   o.value(QStringLiteral("results")).toInt(),
                   o.value(QStringLiteral("results")).toInt() * 100 / boards, clock.elapsed() / 1000.0,
                   o.value(QStringLiteral("fds")).toInt(), o.value(QStringLiteral("threads")).toInt(),
                   o.value(QStringLiteral("rss_kib")).toDouble() / 1024.0);
            fflush(stdout);
        } else if (event == QLatin1String("summary")) {
            summaryOk = true;
        }
    };
    QByteArray pending;
    while (p.state() != QProcess::NotRunning || p.bytesAvailable() > 0) {
        p.waitForReadyRead(1000);
        pending += p.readAllStandardOutput();
        for (int nl; (nl = pending.indexOf('\n')) >= 0; pending.remove(0, nl + 1))
            take(pending.left(nl));
        if (p.state() == QProcess::NotRunning && p.bytesAvailable() == 0)
            break;
    }
    p.waitForFinished(-1);
    const double seconds = clock.elapsed() / 1000.0;
    remove(image.c_str());

    // Each port's boards in the order they came, against the burner's results
    // at that place in the order it gave them.
    const QVector<LogBoard> logged = readChurnLog(log);
    QHash<QString, QVector<LogBoard>> byPort;
    for (const LogBoard &b : logged)
        byPort[b.port].append(b);
    int wrong = 0, falseSuccess = 0, skipped = 0, twice = 0, matched = 0;
    QHash<QString, int> perFault;
    auto problem = [&](const LogBoard &b, const char *what) {
        if (wrong++ < 20)
            printf("  board %d (%s, fault %s): %s\n", b.index, b.port.toLatin1().constData(),
                   b.fault.toLatin1().constData(), what);
    };
    for (auto it = byPort.cbegin(); it != byPort.cend(); ++it) {
        const QVector<bool> said = results.value(it.key());
        const QVector<LogBoard> &came = it.value();
        if (said.size() != came.size())
            printf("  port %s: %d boards, %d results\n", it.key().toLatin1().constData(),
                   int(came.size()), int(said.size()));
        for (int i = 0; i < came.size(); ++i) {
            const LogBoard &b = came[i];
            ++perFault[b.fault];
            if (!b.touched) {
                ++skipped;
                problem(b, "never spoken to");
                continue;
            }
            if (i >= said.size()) {
                ++skipped;
                problem(b, b.cut ? "no result, still in its port at the end" : "no result");
                continue;
            }
            if (said[i] && !b.expectOk) {
                ++falseSuccess;
                problem(b, "reported burnt");
            } else if (!said[i] && b.expectOk) {
                problem(b, "reported failed");
            } else if (b.expectOk && (b.received != 2 || b.complete != 2 || b.resets != 1)) {
                ++twice;
                problem(b, "burnt, but not exactly once");
            } else {
                ++matched;
            }
        }
        if (said.size() > came.size())
            twice += int(said.size() - came.size());
    }
    QStringList mix;
    for (auto it = perFault.cbegin(); it != perFault.cend(); ++it)
        mix << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
    mix.sort();
    printf("%d of %d boards went through in %.0f s (%s)\n", int(logged.size()), boards, seconds,
           mix.join(QStringLiteral(", ")).toLatin1().constData());
    printf("results: %d; as expected %d, false successes %d, boards without a result %d, "
           "extra burns %d\n",
           resultCount, matched, falseSuccess, skipped, twice);
    if (samples.size() >= 2) {
        const QJsonObject &a = samples.first(), &z = samples.last();
        printf("burner from the first board to the last: fds %d -> %d, threads %d -> %d, "
               "resident %.1f -> %.1f MiB\n",
               a.value(QStringLiteral("fds")).toInt(), z.value(QStringLiteral("fds")).toInt(),
               a.value(QStringLiteral("threads")).toInt(), z.value(QStringLiteral("threads")).toInt(),
               a.value(QStringLiteral("rss_kib")).toDouble() / 1024.0,
               z.value(QStringLiteral("rss_kib")).toDouble() / 1024.0);
    }
    const bool ok = int(logged.size()) == boards && matched == boards && summaryOk;
    printf("%s\n", ok ? "every board got the result its fault calls for"
                      : "MISMATCH (see soak_churn.log, soak_burner.log, soak_kelsim.log)");
    return ok ? 0 : 1;
}
