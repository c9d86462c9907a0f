#include "cli.h"

#include <cstring>

namespace {

// New commands add one line here and a file of their own.
const KelCliCommand kCommands[] = {
    {"info", "show the header and the components of an image", kelcli_cmd_info, kelcli_help_info},
    {"extract", "write every component of an image into a directory", kelcli_cmd_extract,
     kelcli_help_extract},
    {"pack", "build an image from a JSON manifest", kelcli_cmd_pack, kelcli_help_pack},
    {"devices", "list boards in upgrade mode and serial ports", kelcli_cmd_devices,
     kelcli_help_devices},
    {"probe", "show what a board reports about itself", kelcli_cmd_probe, kelcli_help_probe},
    {"burn", "burn an image into a board", kelcli_cmd_burn, kelcli_help_burn},
    {"card", "list, write and format SD cards", kelcli_cmd_card, kelcli_help_card},
    {"report", "yield, failures and burn times from the board records", kelcli_cmd_report,
     kelcli_help_report},
    {nullptr, nullptr, nullptr, nullptr},
};

void topHelp(FILE *out) {
    fprintf(out,
            "Usage: kelflash-cli [-v] COMMAND [ARGS...]\n"
            "\n"
            "Firmware image tool and burner for Kelvora boards.\n"
            "\n"
            "Commands:\n");
    for (const KelCliCommand *c = kCommands; c->name; ++c)
        fprintf(out, "  %-10s %s\n", c->name, c->summary);
    fprintf(out,
            "\n"
            "Options:\n"
            "  -v, --verbose  also show the library's debug messages\n"
            "  -h, --help     show this help\n"
            "  --version      show the program's version\n"
            "\n"
            "Run 'kelflash-cli COMMAND --help' for the arguments of a command.\n"
            "Exit status: 0 success, 1 failure, 2 usage error.\n");
}

}  // namespace

const KelCliCommand *kelcli_commands() {
    return kCommands;
}

int kelcli_run(int argc, char **argv) {
    kelcli_install_log_sink();
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (kelcli_is_help(argv[i])) {
            topHelp(stdout);
            return KELCLI_OK;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("kelflash-cli %s\n", KELFLASH_VERSION);
            return KELCLI_OK;
        }
        if (kelcli_take_verbose(argv[i]))
            continue;
        fprintf(stderr, "kelflash-cli: unknown option '%s'\n", argv[i]);
        topHelp(stderr);
        return KELCLI_USAGE;
    }
    if (i >= argc) {
        topHelp(stderr);
        return KELCLI_USAGE;
    }
    if (strcmp(argv[i], "help") == 0) {
        if (i + 1 < argc) {
            for (const KelCliCommand *c = kCommands; c->name; ++c) {
                if (strcmp(c->name, argv[i + 1]) == 0) {
                    c->help(stdout);
                    return KELCLI_OK;
                }
            }
        }
        topHelp(stdout);
        return KELCLI_OK;
    }
    for (const KelCliCommand *c = kCommands; c->name; ++c) {
        if (strcmp(c->name, argv[i]) == 0)
            return c->run(argc - i, argv + i);
    }
    fprintf(stderr, "kelflash-cli: unknown command '%s'\n", argv[i]);
    topHelp(stderr);
    return KELCLI_USAGE;
}
