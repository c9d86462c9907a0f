// kelflash-cli burn run as an operator runs it, as the child of kelsim whose
// emulated bus its boards are on; what it wrote is collected for the checks.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A program of the build tree, e.g. "cli/kelflash-cli".
inline QString binary(const char *rel) {
    return QString::fromLocal8Bit(qgetenv("KELFLASH_BINARY_DIR")) + QLatin1Char('/') +
           QLatin1String(rel);
}

struct CliRun {
    int status = -1;  // -1: killed or crashed
    QByteArray out, err;
};

// Waits for the child to end and collects what it wrote (out: read already).
inline CliRun finish(QProcess &p, const QByteArray &out = {}, int timeoutMs = 180000) {
    CliRun r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << "kelflash-cli burn did not end";
        return r;
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = out + p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

inline CliRun run(const QStringList &kelsimArgs, const QStringList &burnArgs) {
    QProcess p;
    QStringList args = QStringList{"usb", "--quiet"} + kelsimArgs;
    args << "--" << binary("cli/kelflash-cli") << "burn";
    args += burnArgs;
    p.start(binary("sim/kelsim"), args);
    return finish(p);
}

// Every line of a --json run is one JSON object.
inline std::vector<QJsonObject> jsonLines(const QByteArray &out) {
    std::vector<QJsonObject> lines;
    for (const QByteArray &l : out.split('\n')) {
        if (l.isEmpty())
            continue;
        QJsonParseError e;
        QJsonDocument d = QJsonDocument::fromJson(l, &e);
        EXPECT_EQ(e.error, QJsonParseError::NoError) << l.toStdString();
        EXPECT_TRUE(d.isObject()) << l.toStdString();
        lines.push_back(d.object());
    }
    return lines;
}

inline std::vector<QJsonObject> events(const QByteArray &out, const char *name) {
    std::vector<QJsonObject> found;
    for (const QJsonObject &o : jsonLines(out))
        if (o["event"].toString() == QLatin1String(name))
            found.push_back(o);
    return found;
}

// What a board stored (kelsim --dump); empty when it stored nothing.
inline std::vector<uint8_t> fileBytes(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray b = f.readAll();
    return std::vector<uint8_t>(b.begin(), b.end());
}

// A board's dump (kelsim --dump DIR) holds every component of the image byte for byte.
inline void expectBoardHolds(const QString &dir,
                             const std::map<std::string, std::vector<uint8_t>> &want) {
    for (const auto &kv : want)
        EXPECT_EQ(fileBytes(dir + QLatin1Char('/') + QString::fromStdString(kv.first) + ".bin"),
                  kv.second)
            << dir.toStdString() << " " << kv.first;
}
