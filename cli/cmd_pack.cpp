#include <string>

#include "cli.h"
#include "image_pack.h"

void kelcli_help_pack(FILE *out) {
    fprintf(out,
            "Usage: kelflash-cli pack [-v] MANIFEST.json OUT.img\n"
            "\n"
            "Builds an image from a JSON manifest:\n"
            "  {\n"
            "    \"platform\": \"KV7210\", \"product\": \"kv7210-evb\", \"version\": \"1.0.0\",\n"
            "    \"media_type\": \"mmc\", \"media_id\": \"emmc0\",\n"
            "    \"env\": {\"parts_mmc\": \"1m(spl),4m(uboot),-(rootfs)\"},\n"
            "    \"components\": [\n"
            "      {\"name\": \"spl\", \"partition\": \"spl\", \"attributes\": \"run\",\n"
            "       \"ram\": \"0x80000000\", \"file\": \"spl.bin\"}\n"
            "    ]\n"
            "  }\n"
            "\"env\" (an object, or an array of \"key=value\" strings) becomes the component\n"
            "\"image.updater.env\": first, unless the list names it without a \"file\".\n"
            "Data files are relative to the manifest. OUT.img is replaced only when the\n"
            "image is complete.\n");
}

int kelcli_cmd_pack(int argc, char **argv) {
    const char *args[2] = {nullptr, nullptr};
    int n = 0;
    for (int i = 1; i < argc; ++i) {
        if (kelcli_is_help(argv[i])) {
            kelcli_help_pack(stdout);
            return KELCLI_OK;
        }
        if (kelcli_take_verbose(argv[i]))
            continue;
        if (argv[i][0] == '-' && argv[i][1] != '\0')
            return kelcli_usage_error("pack", "unknown option '%s'", argv[i]);
        if (n == 2)
            return kelcli_usage_error("pack", "too many arguments");
        args[n++] = argv[i];
    }
    if (n != 2)
        return kelcli_usage_error("pack", "needs MANIFEST.json and OUT.img");
    std::string error;
    if (image_pack_manifest(args[0], args[1], &error) != 0)
        return kelcli_fail("%s", error.c_str());
    printf("packed %s into %s\n", args[0], args[1]);
    return KELCLI_OK;
}
