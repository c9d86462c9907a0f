#include "card_common.h"

#include <QDateTime>
#include <QFileInfo>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cardscan.h"
#include "cli.h"
#include "diskaccess.h"
#include "diskregistry.h"
#include "run_records.h"

namespace {

// Whether the operator agrees to lose what is on the card. Without a terminal
// to ask on, only --yes agrees.
bool confirmed(const CardTarget &t, const QString &what) {
    if (!isatty(STDIN_FILENO)) {
        return false;
    }
    fprintf(stderr, "Everything on %s (%s) will be lost. Type 'yes' to go on: ",
            t.path.toLocal8Bit().constData(), what.toLocal8Bit().constData());
    fflush(stderr);
    char answer[16] = {};
    if (!fgets(answer, sizeof answer, stdin)) {
        return false;
    }
    return strcmp(answer, "yes\n") == 0 || strcmp(answer, "yes") == 0;
}

bool isPartitionNode(const QString &node) {
    return QFileInfo::exists(QStringLiteral("/sys/class/block/%1/partition")
                                 .arg(QFileInfo(node).fileName()));
}

}  // namespace

QString kelcli_size_text(quint64 bytes) {
    static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    return unit == 0 ? QStringLiteral("%1 B").arg(bytes)
                     : QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(kUnits[unit]));
}

quint64 kelcli_parse_size(const char *text) {
    if (!text || !*text) {
        return 0;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0 || end == text || text[0] == '-') {
        return 0;
    }
    quint64 unit = 1;
    if (*end) {
        switch (*end) {
        case 'K': case 'k': unit = 1ull << 10; break;
        case 'M': case 'm': unit = 1ull << 20; break;
        case 'G': case 'g': unit = 1ull << 30; break;
        case 'T': case 't': unit = 1ull << 40; break;
        default: return 0;
        }
        // "64M", "64MiB" and "64MB" all mean 64 MiB here: cards are sized in
        // binary units by the tools that read them back.
        const char *rest = end + 1;
        if (*rest && strcmp(rest, "iB") != 0 && strcmp(rest, "B") != 0) {
            return 0;
        }
    }
    if (value > UINT64_MAX / unit) {
        return 0;
    }
    return quint64(value) * unit;
}

bool kelcli_card_wants_json(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--device") == 0 || strcmp(argv[i], "--size") == 0) {
            ++i;
        } else if (strcmp(argv[i], "--json") == 0) {
            return true;
        }
    }
    return false;
}

void kelcli_card_drop_created(const CardTarget &target) {
    if (target.file && target.created) {
        QFile::remove(target.path);
    }
}

int kelcli_card_take_option(int argc, char **argv, int *i, CardTargetOptions *o) {
    const char *a = argv[*i];
    QString recordsError;
    const int records = o->records ? o->records->takeOption(argc, argv, i, &recordsError) : 0;
    if (records < 0) {
        return kelcli_card_usage(o->json, recordsError);
    }
    if (records > 0) {
        return KELCLI_OK;
    }
    if (strcmp(a, "--device") == 0 && *i + 1 < argc) {
        o->device = QString::fromLocal8Bit(argv[++*i]);
    } else if (strcmp(a, "--size") == 0 && *i + 1 < argc) {
        o->size = kelcli_parse_size(argv[++*i]);
        if (o->size == 0) {
            return kelcli_card_usage(o->json, QStringLiteral("invalid size '%1'")
                                                  .arg(QString::fromLocal8Bit(argv[*i])));
        }
    } else if (strcmp(a, "--yes") == 0) {
        o->yes = true;
    } else if (strcmp(a, "--force") == 0) {
        o->force = true;
    } else if (strcmp(a, "--json") == 0) {
        o->json = true;
    } else {
        return -1;
    }
    return KELCLI_OK;
}

bool kelcli_card_target(const char *command, const CardTargetOptions &o, CardTarget *t,
                        QString *error, int *status, Failure::Code *code) {
    *status = KELCLI_FAIL;
    // Most refusals say the card cannot be had; the few others set their own.
    Failure::Code ignored = Failure::CardUnavailable;
    if (!code) {
        code = &ignored;
    }
    *code = Failure::CardUnavailable;
    if (o.device.isEmpty()) {
        *error = QStringLiteral("--device is required");
        *status = KELCLI_USAGE;
        return false;
    }
    if (o.size % 512 != 0) {
        *error = QStringLiteral("--size must be a whole number of 512-byte sectors");
        *status = KELCLI_USAGE;
        return false;
    }
    DiskRegistry &registry = DiskRegistry::instance();
    const QByteArray native = o.device.toLocal8Bit();
    struct stat st;
    QString what;
    if (stat(native.constData(), &st) == 0 && S_ISBLK(st.st_mode)) {
        registry.refresh();
        const QString node = QFileInfo(o.device).canonicalFilePath();
        t->disk = registry.diskOf(node);
        t->path = node;
        if (!t->disk.isValid()) {
            *error = isPartitionNode(node)
                         ? QStringLiteral("%1 is a partition; give the whole card").arg(node)
                         : QStringLiteral("%1 is not a disk").arg(node);
            return false;
        }
        if (t->disk.number == 0 || !mayWriteDisk(t->disk)) {
            *error = QStringLiteral("%1 holds the running system and is never written").arg(node);
            return false;
        }
        if (o.size != 0) {
            *error = QStringLiteral("--size is for card images, not for %1").arg(node);
            *status = KELCLI_USAGE;
            return false;
        }
        DiskProperties props;
        registry.properties(t->disk, &props);
        if (!props.removable && !o.force) {
            *error = QStringLiteral("%1 is not a removable disk (--force writes it anyway)").arg(node);
            return false;
        }
        if (access(QFile::encodeName(node).constData(), R_OK | W_OK) != 0) {
            *error = QStringLiteral("no permission to write %1: run as root, or join the 'disk' "
                                    "group (or add a udev rule for the card reader)")
                         .arg(node);
            return false;
        }
        if (isDiskWriteProtected(t->disk)) {
            *error = QStringLiteral("%1 is write-protected (the card's lock switch, or a read-only "
                                    "device); nothing was written")
                         .arg(node);
            return false;
        }
        what = (props.vendor + QLatin1Char(' ') + props.model).simplified();
        const DiskHandle h = openDiskHandle(t->disk, DiskAccess::Query, false);
        quint64 ss = 0;
        const quint64 n = h == kInvalidDisk ? 0 : diskSectorCount(h, &ss);
        closeDiskHandle(h);
        what += (what.isEmpty() ? QString() : QStringLiteral(", ")) + kelcli_size_text(n * ss);
    } else if (errno == ENOENT || (stat(native.constData(), &st) == 0 && S_ISREG(st.st_mode))) {
        t->file = true;
        const QFileInfo info(o.device);
        const bool exists = info.exists();
        // An existing file is the one its name leads to now; it is opened
        // from here on without following links.
        t->path = exists ? info.canonicalFilePath() : info.absoluteFilePath();
        if (!exists && o.size == 0) {
            *error = QStringLiteral("%1 does not exist (give --size to create a card image)")
                         .arg(o.device);
            return false;
        }
        const QString dir = QFileInfo(info.absolutePath()).canonicalFilePath();
        if (!exists && (dir == QLatin1String("/dev") || dir.startsWith(QLatin1String("/dev/")))) {
            *error = QStringLiteral("%1 does not exist, and a card image is not made under /dev "
                                    "(is the device's name mistyped?)")
                         .arg(o.device);
            return false;
        }
        if (o.size != 0 && (!exists || quint64(st.st_size) < o.size)) {
            // A sparse file: a card image costs only what is written into it.
            // A new file is new indeed: a link left at its name is not followed.
            const int fd = ::open(QFile::encodeName(t->path).constData(),
                                  exists ? O_WRONLY | O_NOFOLLOW | O_CLOEXEC
                                         : O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  0644);
            if (fd < 0 || ftruncate(fd, off_t(o.size)) != 0) {
                *error = QStringLiteral("cannot create %1: %2").arg(o.device, QString::fromLocal8Bit(strerror(errno)));
                *code = Failure::DiskIo;
                if (fd >= 0) {
                    ::close(fd);
                }
                return false;
            }
            ::close(fd);
            t->created = !exists;
        } else if (o.size != 0 && quint64(st.st_size) > o.size) {
            *error = QStringLiteral("%1 is larger than --size; it is not cut").arg(o.device);
            return false;
        }
        t->disk = registry.registerFile(t->path);
        what = QStringLiteral("card image, %1").arg(kelcli_size_text(o.size ? o.size : quint64(st.st_size)));
    } else {
        *error = QStringLiteral("%1 is neither a disk nor a card image file").arg(o.device);
        return false;
    }
    if (!t->created && !o.yes && !confirmed(*t, what)) {
        *error = isatty(STDIN_FILENO) ? QStringLiteral("not confirmed; nothing was written")
                                      : QStringLiteral("%1 would be overwritten: give --yes to "
                                                       "confirm without a terminal")
                                            .arg(t->path);
        *status = isatty(STDIN_FILENO) ? KELCLI_FAIL : KELCLI_USAGE;
        *code = Failure::Interrupted;  // the operator said no
        return false;
    }
    (void)command;
    return true;
}

CardJobFacts kelcli_card_job_facts(const QString &kind, const CardTarget &target) {
    CardJobFacts f;
    f.kind = kind;
    f.node = target.path;
    f.identity = target.disk.identity;
    f.started = QDateTime::currentDateTimeUtc();
    DiskProperties properties;
    if (queryDeviceProperties(target.disk, &properties)) {
        f.vendor = properties.vendor;
        f.product = properties.model;
    }
    if (target.file) {
        f.size = QFileInfo(target.path).size();
    } else {
        // The size as the card list shows it.
        for (const CardInfo &card : scanCards()) {
            if (card.disk.path == target.path) {
                f.size = qint64(card.size());
            }
        }
    }
    return f;
}
