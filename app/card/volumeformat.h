// The system's quick FAT32 format, as an argument vector that is run without a
// shell. The platform's command lives in volumeformat_<platform>.cpp.
#pragma once

#include <QStringList>
#include <QtGlobal>

namespace volumeformat {

// What to format: the partition's own node (offset and length 0), or a disk or
// card image with the partition at `offset` bytes for `length` bytes.
struct Target {
    QString node;
    quint64 offset = 0;
    quint64 length = 0;
    quint64 sectorSize = 512;
};

// The program first, then its arguments.
QStringList fat32Command(const Target &target);

}  // namespace volumeformat
