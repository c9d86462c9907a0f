#include <QString>
#include <cstring>

#include "cli.h"
#include "image.h"
#include "imagecheck.h"
#include "imagefile.h"

void kelcli_help_info(FILE *out) {
    fprintf(out,
            "Usage: kelflash-cli info [-v] [--check] IMAGE\n"
            "\n"
            "Prints the header of IMAGE and every firmware component record.\n"
            "\n"
            "  --check   instead, read the whole file once: print its SHA-256 (for burn\n"
            "            --sha256) and compare every component's data with the CRC-32 in\n"
            "            its record; exit status 1 when any differs. The record's CRC is\n"
            "            the image maker's checksum: an image made with another algorithm\n"
            "            differs everywhere.\n");
}

namespace {

int notReadable(const char *image) {
    // The library is silent about a file too short for a header.
    std::string why;
    if (!kelcli_image_readable(image, &why))
        return kelcli_fail("%s: not a readable image: %s", image, why.c_str());
    return kelcli_fail("%s: not a readable image", image);
}

int checkImage(const char *path) {
    ImageFile image;
    image.setPath(QString::fromLocal8Bit(path));
    if (image.loadHeader() != 0)
        return notReadable(path);
    ImageCheck check;
    check.setComputeSha256(true);
    check.setCheckCrc(true);
    if (!check.run(image))
        return kelcli_fail("%s: %s", path, check.readError().toLocal8Bit().constData());
    printf("SHA-256: %s\n", check.sha256().toHex().constData());
    for (const ImageCheck::Component &c : check.components()) {
        const QByteArray name = c.name.toLocal8Bit();
        if (!c.complete)
            printf("  %-30s CRC 0x%08X  DIFFERS: its data lies beyond the end of the file\n",
                   name.constData(), c.recorded);
        else if (c.differs())
            printf("  %-30s CRC 0x%08X  DIFFERS: the data gives 0x%08X\n", name.constData(),
                   c.recorded, c.computed);
        else
            printf("  %-30s CRC 0x%08X  ok\n", name.constData(), c.recorded);
    }
    const QStringList bad = check.crcMismatches();
    if (bad.isEmpty()) {
        printf("All %d components match the CRC-32 of their records.\n",
               int(check.components().size()));
        return KELCLI_OK;
    }
    fflush(stdout);
    return kelcli_fail("%s: %d of %d components differ from the CRC-32 of their records: %s", path,
                       int(bad.size()), int(check.components().size()),
                       bad.join(QStringLiteral(", ")).toLocal8Bit().constData());
}

}  // namespace

int kelcli_cmd_info(int argc, char **argv) {
    const char *image = nullptr;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        if (kelcli_is_help(argv[i])) {
            kelcli_help_info(stdout);
            return KELCLI_OK;
        }
        if (kelcli_take_verbose(argv[i]))
            continue;
        if (strcmp(argv[i], "--check") == 0) {
            check = true;
            continue;
        }
        if (argv[i][0] == '-' && argv[i][1] != '\0')
            return kelcli_usage_error("info", "unknown option '%s'", argv[i]);
        if (image)
            return kelcli_usage_error("info", "only one image, please");
        image = argv[i];
    }
    if (!image)
        return kelcli_usage_error("info", "no image given");
    if (check)
        return checkImage(image);
    if (image_display_info(image) != 0)
        return notReadable(image);
    return KELCLI_OK;
}
