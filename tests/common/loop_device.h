// A loop device over a file of the test's own, detached again at the end; none
// without root. With partitions set, the kernel scans its partition tables;
// a read-only one stands for a card whose lock switch is on.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <unistd.h>

class LoopDevice {
public:
    LoopDevice(const QString &file, int sectorSize, bool partitions = false, bool readOnly = false) {
        if (getuid() != 0) {
            return;
        }
        QStringList args{"--find", "--show", "--sector-size", QString::number(sectorSize)};
        if (partitions) {
            args << "--partscan";
        }
        if (readOnly) {
            args << "--read-only";
        }
        QProcess p;
        p.start("losetup", args << file);
        if (p.waitForFinished(10000) && p.exitCode() == 0) {
            node = QString::fromLatin1(p.readAllStandardOutput()).trimmed();
        }
    }
    ~LoopDevice() { detach(); }
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;
    void detach() {
        if (!node.isEmpty()) {
            QProcess::execute("losetup", {"--detach", node});
            node.clear();
        }
    }
    QString node;
};
