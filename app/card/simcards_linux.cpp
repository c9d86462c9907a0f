// Loop devices as sysfs shows them.
#include "simcards.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>

SimCardKind simCardKind(const QString &path) {
    struct stat st;
    if (path.isEmpty() || stat(QFile::encodeName(path).constData(), &st) != 0) {
        return SimCardKind::None;
    }
    if (S_ISREG(st.st_mode)) {
        return SimCardKind::ImageFile;
    }
    if (!S_ISBLK(st.st_mode)) {
        return SimCardKind::None;
    }
    // Only a whole loop device has the "loop" directory, and only while a file
    // is attached to it; its partitions and every other disk have none.
    const QString sys = QStringLiteral("/sys/dev/block/%1:%2/loop/backing_file")
                            .arg(major(st.st_rdev))
                            .arg(minor(st.st_rdev));
    return QFileInfo::exists(sys) ? SimCardKind::LoopDevice : SimCardKind::None;
}
