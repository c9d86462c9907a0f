#include "cli.h"

int main(int argc, char **argv) {
    return kelcli_run(argc, argv);
}
