#include <sys/stat.h>

#include "cli.h"
#include "image.h"

void kelcli_help_extract(FILE *out) {
    fprintf(out,
            "Usage: kelflash-cli extract [-v] IMAGE [-C DIR]\n"
            "\n"
            "Writes every firmware component of IMAGE into DIR (default: the current\n"
            "directory) as a file named after the component. An image whose component\n"
            "names are not plain file names is refused and nothing is written.\n");
}

int kelcli_cmd_extract(int argc, char **argv) {
    const char *image = nullptr;
    const char *dir = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (kelcli_is_help(argv[i])) {
            kelcli_help_extract(stdout);
            return KELCLI_OK;
        }
        if (kelcli_take_verbose(argv[i]))
            continue;
        if (argv[i][0] == '-' && argv[i][1] == 'C') {
            if (argv[i][2] != '\0') {
                dir = argv[i] + 2;
            } else if (i + 1 < argc) {
                dir = argv[++i];
            } else {
                return kelcli_usage_error("extract", "-C needs a directory");
            }
            continue;
        }
        if (argv[i][0] == '-' && argv[i][1] != '\0')
            return kelcli_usage_error("extract", "unknown option '%s'", argv[i]);
        if (image)
            return kelcli_usage_error("extract", "only one image, please");
        image = argv[i];
    }
    if (!image)
        return kelcli_usage_error("extract", "no image given");
    struct stat st;
    if (dir && (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)))
        return kelcli_fail("%s: no such directory", dir);
    if (image_extract(image, dir) != 0) {
        std::string why;
        if (!kelcli_image_readable(image, &why))
            return kelcli_fail("%s: not a readable image: %s", image, why.c_str());
        return kelcli_fail("%s: extraction failed", image);
    }
    return KELCLI_OK;
}
