// Disks as sysfs and the mount table show them.
#include "diskplatform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "diskaccess.h"

namespace {

const QString kSysBlock = QStringLiteral("/sys/block");

QString readAttribute(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return QString();
    }
    return QString::fromLatin1(f.readAll()).trimmed();
}

// mountinfo escapes blanks and backslashes in paths as octal.
QString unescapeMountPath(const QString &text) {
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('\\') && i + 3 < text.size()) {
            bool ok = false;
            const int code = text.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out += QChar(code);
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

struct Mount {
    QString devNumber;  // "8:1"
    QString mountPoint;
    QString source;     // "/dev/sda1", or a name for virtual file systems
};

QList<Mount> mounts() {
    QList<Mount> list;
    QFile f(QStringLiteral("/proc/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly)) {
        return list;
    }
    for (const QByteArray &raw : f.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw);
        const int dash = line.indexOf(QLatin1String(" - "));
        if (dash < 0) {
            continue;
        }
        const QStringList head = line.left(dash).split(QLatin1Char(' '));
        const QStringList tail = line.mid(dash + 3).split(QLatin1Char(' '));
        if (head.size() < 5 || tail.size() < 2) {
            continue;
        }
        list << Mount{head[2], unescapeMountPath(head[4]), unescapeMountPath(tail[1])};
    }
    return list;
}

// The sysfs directory of a block device number ("8:1"), resolved.
QString sysfsOfDevNumber(const QString &devNumber) {
    const QFileInfo link(QStringLiteral("/sys/dev/block/") + devNumber);
    return link.exists() ? link.canonicalFilePath() : QString();
}

QString devNumberOfNode(const QString &node) {
    struct stat st;
    if (stat(QFile::encodeName(node).constData(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        return QString();
    }
    return QStringLiteral("%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev));
}

// The whole disks under a block device: its own disk for a partition, the
// disks below a device-mapper or md device (LVM, RAID, encryption), itself for
// a disk.
void disksUnder(const QString &sysDir, QStringList *nodes, int depth = 0) {
    if (sysDir.isEmpty() || depth > 8) {
        return;
    }
    QString disk = sysDir;
    if (QFileInfo::exists(sysDir + QStringLiteral("/partition"))) {
        disk = QFileInfo(sysDir).absolutePath();
    }
    const QDir slaves(disk + QStringLiteral("/slaves"));
    const QStringList below = slaves.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (!below.isEmpty()) {
        for (const QString &name : below) {
            disksUnder(QFileInfo(slaves.filePath(name)).canonicalFilePath(), nodes, depth + 1);
        }
        return;
    }
    const QString node = QStringLiteral("/dev/") + QFileInfo(disk).fileName();
    if (!nodes->contains(node)) {
        nodes->append(node);
    }
}

QString sysDirOfNode(const QString &node) {
    return kSysBlock + QLatin1Char('/') + QFileInfo(node).fileName();
}

int busTypeOf(const QString &sysName, const QString &devicePath) {
    if (sysName.startsWith(QLatin1String("mmcblk"))) {
        return readAttribute(kSysBlock + QLatin1Char('/') + sysName + QStringLiteral("/device/type")) ==
                       QLatin1String("MMC")
                   ? 13
                   : 12;
    }
    if (devicePath.contains(QLatin1String("/usb"))) {
        return 7;
    }
    if (sysName.startsWith(QLatin1String("nvme"))) {
        return 17;
    }
    if (devicePath.contains(QLatin1String("/ata"))) {
        return 11;
    }
    if (devicePath.contains(QLatin1String("/virtio")) || devicePath.contains(QLatin1String("/virtual/"))) {
        return 14;
    }
    if (devicePath.contains(QLatin1String("/host"))) {
        return 1;
    }
    return 0;
}

}  // namespace

namespace diskplatform {

QList<Disk> wholeDisks() {
    QList<Disk> disks;
    const QStringList names = QDir(kSysBlock).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const QString dir = kSysBlock + QLatin1Char('/') + name;
        // Device-mapper and md devices are made of disks, not disks themselves;
        // an unattached loop device or empty zram holds nothing.
        if (!QDir(dir + QStringLiteral("/slaves")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty() ||
            readAttribute(dir + QStringLiteral("/size")).toULongLong() == 0) {
            continue;
        }
        QString identity = readAttribute(dir + QStringLiteral("/diskseq"));
        if (identity.isEmpty()) {
            identity = readAttribute(dir + QStringLiteral("/dev"));
        }
        disks << Disk{QStringLiteral("/dev/") + name, identity};
    }
    return disks;
}

QStringList systemDisks() {
    static const QSet<QString> systemMounts = {
        QStringLiteral("/"), QStringLiteral("/boot"), QStringLiteral("/boot/efi"),
        QStringLiteral("/usr"), QStringLiteral("/var")};
    QStringList nodes;
    QStringList rootDisks;
    for (const Mount &m : mounts()) {
        if (!systemMounts.contains(m.mountPoint)) {
            continue;
        }
        // A file system on a block device names it as its source; btrfs and
        // some others show an anonymous device number in the table instead.
        QString devNumber = m.source.startsWith(QLatin1String("/dev/")) ? devNumberOfNode(m.source)
                                                                         : QString();
        if (devNumber.isEmpty()) {
            devNumber = m.devNumber;
        }
        QStringList under;
        disksUnder(sysfsOfDevNumber(devNumber), &under);
        if (m.mountPoint == QLatin1String("/")) {
            rootDisks = under;
        }
        for (const QString &n : under) {
            if (!nodes.contains(n)) {
                nodes << n;
            }
        }
    }
    QFile swaps(QStringLiteral("/proc/swaps"));
    if (swaps.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = swaps.readAll().split('\n');
        for (int i = 1; i < lines.size(); ++i) {
            const QString file = unescapeMountPath(QString::fromUtf8(lines[i]).section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty));
            if (file.isEmpty()) {
                continue;
            }
            struct stat st;
            if (stat(QFile::encodeName(file).constData(), &st) != 0) {
                continue;
            }
            // A swap partition is a device; a swap file lies on its file system's device.
            const dev_t dev = S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev;
            QStringList under;
            disksUnder(sysfsOfDevNumber(QStringLiteral("%1:%2").arg(major(dev)).arg(minor(dev))), &under);
            for (const QString &n : under) {
                if (!nodes.contains(n)) {
                    nodes << n;
                }
            }
        }
    }
    // The root's disk first: it is the one that becomes number 0.
    for (int i = rootDisks.size() - 1; i >= 0; --i) {
        nodes.removeAll(rootDisks[i]);
        nodes.prepend(rootDisks[i]);
    }
    return nodes;
}

bool properties(const QString &node, DiskProperties *props) {
    const QString name = QFileInfo(node).fileName();
    const QString dir = kSysBlock + QLatin1Char('/') + name;
    if (!QFileInfo::exists(dir + QStringLiteral("/size"))) {
        return false;
    }
    const QString devicePath = QFileInfo(dir).canonicalFilePath();
    props->busType = busTypeOf(name, devicePath);
    // An SD card in a built-in reader sits on an mmc host and reports itself as fixed.
    props->removable = readAttribute(dir + QStringLiteral("/removable")) == QLatin1String("1") ||
                       props->busType == 12;
    props->vendor = readAttribute(dir + QStringLiteral("/device/vendor"));
    props->model = readAttribute(dir + QStringLiteral("/device/model"));
    if (props->model.isEmpty()) {
        props->model = readAttribute(dir + QStringLiteral("/device/name"));
    }
    return true;
}

QStringList mountPointsOn(const QString &node) {
    QStringList points;
    const QString dir = sysDirOfNode(node);
    QSet<QString> numbers;
    numbers << readAttribute(dir + QStringLiteral("/dev"));
    const QString name = QFileInfo(node).fileName();
    for (const QString &child : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (child.startsWith(name)) {
            numbers << readAttribute(dir + QLatin1Char('/') + child + QStringLiteral("/dev"));
        }
    }
    for (const Mount &m : mounts()) {
        const QString viaSource = m.source.startsWith(QLatin1String("/dev/")) ? devNumberOfNode(m.source)
                                                                                : QString();
        if (numbers.contains(m.devNumber) || (!viaSource.isEmpty() && numbers.contains(viaSource))) {
            points << m.mountPoint;
        }
    }
    return points;
}

QString firstPartition(const QString &node) {
    const QString dir = sysDirOfNode(node);
    const QString name = QFileInfo(node).fileName();
    QString best;
    int bestIndex = 0;
    for (const QString &child : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!child.startsWith(name)) {
            continue;
        }
        const int index = readAttribute(dir + QLatin1Char('/') + child + QStringLiteral("/partition")).toInt();
        if (index > 0 && (best.isEmpty() || index < bestIndex)) {
            best = child;
            bestIndex = index;
        }
    }
    return best.isEmpty() ? QString() : QStringLiteral("/dev/") + best;
}

}  // namespace diskplatform
