// "kelflash-cli card": SD cards with the same engine as the window's card tab.
// Each subcommand lives in a file of its own (cmd_card_*.cpp).
#include <QCoreApplication>
#include <cstring>
#include <memory>

#include "card_common.h"
#include "cli.h"
#include "image_guard.h"

namespace {

struct Subcommand {
    const char *name;
    int (*run)(int argc, char **argv);
};

const Subcommand kSubcommands[] = {
    {"list", kelcli_cmd_card_list},
    {"write", kelcli_cmd_card_write},
    {"format", kelcli_cmd_card_format},
};

}  // namespace

void kelcli_help_card(FILE *out) {
    fprintf(out,
            "Usage: kelflash-cli card list [--json]\n"
            "       kelflash-cli card write IMAGE --device DEV|FILE [--size SIZE] [--verify]\n"
            "                               [--sha256 HEX] [--check-crc]\n"
            "                               [--yes] [--force] [--json]\n"
            "                               [--db URL] [--operator NAME]\n"
            "       kelflash-cli card format --device DEV|FILE [--mbr] [--size SIZE]\n"
            "                                [--yes] [--force] [--json]\n"
            "                                [--db URL] [--operator NAME]\n"
            "\n"
            "  list    the cards the window's card tab lists: removable disks with a medium,\n"
            "          never a disk of the running system; with the image a card carries\n"
            "  write   makes a bring-up card from an image for SD cards (media type mmc):\n"
            "          every component at its partition, a GPT that describes them, and the\n"
            "          image's mark in sector 0\n"
            "  format  gives a card back to ordinary use: one FAT32 partition over the whole\n"
            "          card in a GPT (default) or an MBR table (--mbr)\n"
            "\n"
            "  --device DEV|FILE  a card's whole-disk node (/dev/sdb, /dev/mmcblk0), or a card\n"
            "                     image file, which can be written to many cards later\n"
            "  --size SIZE        create a missing card image file of this size (sparse), or\n"
            "                     grow a smaller one; K, M, G suffixes are binary units\n"
            "  --verify           read every written range back and compare it with the\n"
            "                     image, then check the partition table\n"
            "  --yes              do not ask before the card is overwritten\n"
            "  --force            also write a disk that does not say it is removable\n"
            "  --json             one JSON object per line on stdout: start, stage, progress,\n"
            "                     result (list: one object per card)\n"
            "  --db URL           store the job's record in this database\n"
            "                     (postgresql://USER@HOST:PORT/DB; default: [fleet] database\n"
            "                     of KelFlash.ini, else data.db)\n"
            "  --operator NAME    the operator named in the record\n"
            "\n"
            "A disk of the running system is refused whatever the options, and so is a card\n"
            "that cannot be had for itself (a file system that cannot be unmounted, swap, a\n"
            "volume manager, another writer) or is write-protected. Writing a device needs\n"
            "root, or membership of the 'disk' group.\n"
            "Ctrl-C stops a job at its next safe point (a second one at once); with --json\n"
            "every run ends with a result line.\n"
            "Exit status: 0 when the job succeeded, 1 on failure, 2 usage error.\n");
    fprintf(out, "\nwrite also takes:\n%s", kelcli_image_guard_help(21).c_str());
}

int kelcli_cmd_card(int argc, char **argv) {
    if (argc < 2 || kelcli_is_help(argv[1])) {
        kelcli_help_card(argc < 2 ? stderr : stdout);
        return argc < 2 ? KELCLI_USAGE : KELCLI_OK;
    }
    for (const Subcommand &s : kSubcommands) {
        if (strcmp(argv[1], s.name) != 0) {
            continue;
        }
        // The workers and the format command need an application object.
        static int qargc = 1;
        static char qname[] = "kelflash-cli";
        static char *qargv[] = {qname, nullptr};
        std::unique_ptr<QCoreApplication> app;
        if (!QCoreApplication::instance()) {
            app = std::make_unique<QCoreApplication>(qargc, qargv);
        }
        kelcli_card_log_begin();
        const int status = s.run(argc - 1, argv + 1);
        kelcli_card_log_end();
        return status;
    }
    return kelcli_usage_error("card", "unknown subcommand '%s'", argv[1]);
}
