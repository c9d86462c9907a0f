#include "cli.h"
#include "image.h"

void kelcli_help_info(FILE *out) {
    fprintf(out,
            "Usage: kelflash-cli info [-v] IMAGE\n"
            "\n"
            "Prints the header of IMAGE and every firmware component record.\n");
}

int kelcli_cmd_info(int argc, char **argv) {
    const char *image = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (kelcli_is_help(argv[i])) {
            kelcli_help_info(stdout);
            return KELCLI_OK;
        }
        if (kelcli_take_verbose(argv[i]))
            continue;
        if (argv[i][0] == '-' && argv[i][1] != '\0')
            return kelcli_usage_error("info", "unknown option '%s'", argv[i]);
        if (image)
            return kelcli_usage_error("info", "only one image, please");
        image = argv[i];
    }
    if (!image)
        return kelcli_usage_error("info", "no image given");
    if (image_display_info(image) != 0) {
        // The library is silent about a file too short for a header.
        std::string why;
        if (!kelcli_image_readable(image, &why))
            return kelcli_fail("%s: not a readable image: %s", image, why.c_str());
        return kelcli_fail("%s: not a readable image", image);
    }
    return KELCLI_OK;
}
