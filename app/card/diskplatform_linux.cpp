// Disks as sysfs and the mount table show them.
#include "diskplatform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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
    QString fsType;
    QString source;     // "/dev/sda1", or a name for virtual file systems
    QString options;    // the file system's own options, still escaped
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
        list << Mount{head[2], unescapeMountPath(head[4]), tail[0], unescapeMountPath(tail[1]),
                      tail.value(2)};
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

QString devText(dev_t dev) {
    return QStringLiteral("%1:%2").arg(major(dev)).arg(minor(dev));
}

bool parseDevText(const QString &text, dev_t *dev) {
    const QStringList parts = text.split(QLatin1Char(':'));
    bool okMajor = false, okMinor = false;
    if (parts.size() == 2) {
        *dev = makedev(parts[0].toUInt(&okMajor), parts[1].toUInt(&okMinor));
    }
    return okMajor && okMinor;
}

// The directories an overlay is made of, from its options in the mount table
// ("lowerdir=/a:/b,upperdir=/u,workdir=/w"; ':' inside a name is "\:").
QStringList overlayLayers(const QString &options) {
    QStringList dirs;
    for (const QString &option : options.split(QLatin1Char(','))) {
        const int eq = option.indexOf(QLatin1Char('='));
        const QString key = option.left(eq);
        if (eq < 0 || !(key.startsWith(QLatin1String("lowerdir")) || key == QLatin1String("upperdir") ||
                        key == QLatin1String("workdir") || key.startsWith(QLatin1String("datadir")))) {
            continue;
        }
        const QString value = unescapeMountPath(option.mid(eq + 1));
        QString dir;
        for (int i = 0; i < value.size(); ++i) {
            if (value[i] == QLatin1Char('\\') && i + 1 < value.size()) {
                dir += value[++i];
            } else if (value[i] == QLatin1Char(':')) {
                dirs << dir;
                dir.clear();
            } else {
                dir += value[i];
            }
        }
        dirs << dir;
    }
    dirs.removeAll(QString());
    return dirs;
}

// The device of the file system a loop device's backing file lies on.
bool loopBacking(const QString &node, dev_t *dev) {
    const int fd = ::open(QFile::encodeName(node).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    loop_info64 info{};
    const bool ok = ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
    ::close(fd);
    *dev = dev_t(info.lo_device);
    return ok;
}

void disksOfDev(dev_t dev, const QList<Mount> &table, QStringList *nodes, int depth);

// The whole disks under a block device's sysfs directory: its own disk for a
// partition, the disks below a device-mapper or md device (LVM, RAID,
// encryption), itself for a disk, and for a loop device also the disks its
// backing file lies on.
void disksUnder(const QString &sysDir, const QList<Mount> &table, QStringList *nodes, int depth) {
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
            disksUnder(QFileInfo(slaves.filePath(name)).canonicalFilePath(), table, nodes, depth + 1);
        }
        return;
    }
    const QString node = QStringLiteral("/dev/") + QFileInfo(disk).fileName();
    if (nodes->contains(node)) {
        return;
    }
    nodes->append(node);
    dev_t backing = 0;
    if (QFileInfo(disk).fileName().startsWith(QLatin1String("loop")) && loopBacking(node, &backing)) {
        disksOfDev(backing, table, nodes, depth + 1);
    }
}

// The whole disks a device number rests on: a block device's own, or for the
// anonymous number of a file system without one (overlay, btrfs) those of
// what its mounts name as source or layers.
void disksOfDev(dev_t dev, const QList<Mount> &table, QStringList *nodes, int depth) {
    if (depth > 8) {
        return;
    }
    if (major(dev) != 0) {
        disksUnder(sysfsOfDevNumber(devText(dev)), table, nodes, depth);
        return;
    }
    const QString number = devText(dev);
    for (const Mount &m : table) {
        if (m.devNumber != number) {
            continue;
        }
        struct stat st;
        if (m.source.startsWith(QLatin1String("/dev/")) &&
            stat(QFile::encodeName(m.source).constData(), &st) == 0 && S_ISBLK(st.st_mode)) {
            disksOfDev(st.st_rdev, table, nodes, depth + 1);
        }
        if (m.fsType == QLatin1String("overlay")) {
            for (const QString &dir : overlayLayers(m.options)) {
                if (stat(QFile::encodeName(dir).constData(), &st) == 0 && st.st_dev != dev) {
                    disksOfDev(st.st_dev, table, nodes, depth + 1);
                }
            }
        }
    }
}

void appendNew(QStringList *to, const QStringList &from) {
    for (const QString &n : from) {
        if (!to->contains(n)) {
            to->append(n);
        }
    }
}

QString sysDirOfNode(const QString &node) {
    return kSysBlock + QLatin1Char('/') + QFileInfo(node).fileName();
}

// "8:16/42" with the disk sequence number; a kernel without one gets the size
// (512-byte units) and the serial instead, which a medium put in the same
// reader rarely shares: "8:16/s62333952/0x1234abcd".
QString identityText(const QString &devNumber, const QString &diskSeq, const QString &sysDir) {
    if (!diskSeq.isEmpty()) {
        return devNumber + QLatin1Char('/') + diskSeq;
    }
    QString serial = readAttribute(sysDir + QStringLiteral("/device/serial"));
    if (serial.isEmpty()) {
        serial = readAttribute(sysDir + QStringLiteral("/device/wwid"));
    }
    return devNumber + QStringLiteral("/s") + readAttribute(sysDir + QStringLiteral("/size")) +
           QLatin1Char('/') + serial;
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
        disks << Disk{QStringLiteral("/dev/") + name,
                      identityText(readAttribute(dir + QStringLiteral("/dev")),
                                   readAttribute(dir + QStringLiteral("/diskseq")), dir)};
    }
    return disks;
}

QString identityOf(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
        return QString();
    }
    __u64 seq = 0;
    const QString text = ioctl(fd, BLKGETDISKSEQ, &seq) == 0 ? QString::number(seq) : QString();
    return identityText(devText(st.st_rdev), text, sysfsOfDevNumber(devText(st.st_rdev)));
}

QString fileIdentityOf(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return QString();
    }
    return QStringLiteral("%1:%2").arg(quint64(st.st_dev)).arg(quint64(st.st_ino));
}

QStringList systemDisks() {
    static const QSet<QString> systemMounts = {
        QStringLiteral("/"), QStringLiteral("/boot"), QStringLiteral("/boot/efi"),
        QStringLiteral("/usr"), QStringLiteral("/var")};
    const QList<Mount> table = mounts();
    QStringList nodes;
    QStringList rootDisks;
    for (const Mount &m : table) {
        if (!systemMounts.contains(m.mountPoint)) {
            continue;
        }
        // A file system on a block device names it as its source; btrfs and
        // some others show an anonymous device number in the table instead,
        // an overlay its layers among its options.
        QStringList under;
        struct stat st;
        if (m.source.startsWith(QLatin1String("/dev/")) &&
            stat(QFile::encodeName(m.source).constData(), &st) == 0 && S_ISBLK(st.st_mode)) {
            disksOfDev(st.st_rdev, table, &under, 0);
        }
        dev_t dev = 0;
        if (parseDevText(m.devNumber, &dev)) {
            disksOfDev(dev, table, &under, 0);
        }
        if (m.mountPoint == QLatin1String("/")) {
            rootDisks = under;
        }
        appendNew(&nodes, under);
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
            QStringList under;
            disksOfDev(S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev, table, &under, 0);
            appendNew(&nodes, under);
        }
    }
    // The root's disk first: it is the one that becomes number 0.
    for (int i = rootDisks.size() - 1; i >= 0; --i) {
        nodes.removeAll(rootDisks[i]);
        nodes.prepend(rootDisks[i]);
    }
    return nodes;
}

QStringList disksOfPath(const QString &path) {
    QStringList nodes;
    struct stat st;
    if (stat(QFile::encodeName(path).constData(), &st) == 0) {
        disksOfDev(st.st_dev, mounts(), &nodes, 0);
    }
    return nodes;
}

QStringList usersOf(const QString &node) {
    QStringList users = mountPointsOn(node);
    const QString dir = sysDirOfNode(node);
    const QString name = QFileInfo(node).fileName();
    QStringList dirs{dir};
    QSet<QString> numbers{readAttribute(dir + QStringLiteral("/dev"))};
    for (const QString &child : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (child.startsWith(name)) {
            dirs << dir + QLatin1Char('/') + child;
            numbers << readAttribute(dir + QLatin1Char('/') + child + QStringLiteral("/dev"));
        }
    }
    for (const QString &d : dirs) {
        for (const QString &holder : QDir(d + QStringLiteral("/holders")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QString dmName = readAttribute(kSysBlock + QLatin1Char('/') + holder + QStringLiteral("/dm/name"));
            users << (dmName.isEmpty() ? holder : QStringLiteral("%1 (%2)").arg(holder, dmName));
        }
    }
    QFile swaps(QStringLiteral("/proc/swaps"));
    if (swaps.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = swaps.readAll().split('\n');
        for (int i = 1; i < lines.size(); ++i) {
            const QString file = unescapeMountPath(QString::fromUtf8(lines[i]).section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty));
            struct stat st;
            if (!file.isEmpty() && stat(QFile::encodeName(file).constData(), &st) == 0 &&
                S_ISBLK(st.st_mode) && numbers.contains(devText(st.st_rdev))) {
                users << QStringLiteral("swap ") + file;
            }
        }
    }
    return users;
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
