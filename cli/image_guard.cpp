#include "image_guard.h"

#include <cstring>

#include "imagecheck.h"
#include "imagefile.h"

std::string kelcli_image_guard_help(int column) {
    const char *const lines[][2] = {
        {"--sha256 HEX", "refuse the image unless the SHA-256 of the file is HEX"},
        {"", "(64 hexadecimal digits); checked before anything is written"},
        {"--check-crc", "refuse the image when a component's data differs from the"},
        {"", "CRC-32 in its record (another maker's checksum there differs"},
        {"", "too: hence off by default)"},
    };
    std::string text;
    for (const auto &l : lines) {
        std::string line = std::string("  ") + l[0];
        line.resize(size_t(column) > line.size() + 1 ? size_t(column) : line.size() + 1, ' ');
        text += line + l[1] + "\n";
    }
    return text;
}

bool kelcli_image_guard_takes_value(const char *arg) {
    return strcmp(arg, "--sha256") == 0;
}

int kelcli_take_image_guard(int argc, char **argv, int *i, ImageGuard *g, QString *error) {
    const char *arg = argv[*i];
    if (strcmp(arg, "--check-crc") == 0) {
        g->checkCrc = true;
        return 1;
    }
    if (strcmp(arg, "--sha256") != 0)
        return 0;
    if (*i + 1 >= argc) {
        *error = QStringLiteral("--sha256 needs a value");
        return -1;
    }
    const QString hex = QString::fromLocal8Bit(argv[++*i]);
    g->sha256 = ImageCheck::parseSha256(hex);
    if (g->sha256.isEmpty()) {
        *error = QStringLiteral("--sha256 needs 64 hexadecimal digits, not '%1'").arg(hex);
        return -1;
    }
    return 1;
}

QString kelcli_image_guard_refusal(ImageFile &image, const ImageGuard &g, Failure::Code *code) {
    Failure::Code scratch;
    if (!code)
        code = &scratch;
    ImageCheck check;
    check.setExpectedSha256(g.sha256);
    check.setCheckCrc(g.checkCrc);
    if (!check.isNeeded())
        return QString();
    *code = Failure::ImageUnreadable;
    if (!check.run(image))
        return QStringLiteral("cannot check '%1': %2").arg(image.path(), check.readError());
    *code = Failure::ImageMismatch;
    if (check.shaDiffers())
        return QStringLiteral("'%1' is not the image expected: its SHA-256 is %2, not %3")
            .arg(image.path(), QString::fromLatin1(check.sha256().toHex()),
                 QString::fromLatin1(g.sha256.toHex()));
    const QStringList bad = check.crcMismatches();
    *code = Failure::ImageCorrupt;
    if (!bad.isEmpty())
        return QStringLiteral(
                   "'%1' is damaged: the data of %2 does not match the CRC-32 of "
                   "its record")
            .arg(image.path(), bad.join(QStringLiteral(", ")));
    return QString();
}
