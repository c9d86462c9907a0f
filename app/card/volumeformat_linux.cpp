// mkfs.fat from dosfstools: no prompts, exit status 0 on success.
#include "volumeformat.h"

namespace volumeformat {

QStringList fat32Command(const Target &target) {
    QStringList argv{QStringLiteral("mkfs.fat"), QStringLiteral("-F"), QStringLiteral("32")};
    if (target.length == 0) {
        return argv << target.node;
    }
    // mkfs.fat counts the offset in logical sectors and the size in KiB; the
    // hidden-sector count is what a partition node would have told it.
    const quint64 first = target.offset / target.sectorSize;
    return argv << QStringLiteral("-S") << QString::number(target.sectorSize)
                << QStringLiteral("--offset=%1").arg(first) << QStringLiteral("-h")
                << QString::number(first) << target.node
                << QString::number(target.length / 1024);
}

}  // namespace volumeformat
