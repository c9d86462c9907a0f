// "kelsim card [options] -- COMMAND...": runs COMMAND with a card image file, or
// a loop device over one, named in KELFLASH_SIM_CARDS, which KelFlash's card
// page and "kelflash-cli card list" then list as a removable card. The card is
// only ever a file of its own or a loop device over it, never a disk.
#include "card_cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "card_loop.h"
#include "run_command.h"

namespace {

using kelsim::kOwnFailure;

void usage(FILE *out) {
    fprintf(out,
            "usage: kelsim card [--size SIZE] [--image FILE] [--loop] [-- COMMAND [ARGS...]]\n"
            "  Makes a simulated SD card and runs COMMAND with the card's path put in\n"
            "  front of KELFLASH_SIM_CARDS, so that KelFlash's card page and\n"
            "  \"kelflash-cli card list\" list it as a removable card; exits with\n"
            "  COMMAND's status. Without COMMAND, prints the card's path and keeps the\n"
            "  card until SIGINT or SIGTERM.\n"
            "  --size SIZE    size of a new card image: bytes, or a number with K, M or G\n"
            "                 (default 64M)\n"
            "  --image FILE   this card image, made at SIZE when it does not exist, and\n"
            "                 kept afterwards (default: a temporary one, removed)\n"
            "  --loop         a loop device over the image stands for the card, as a\n"
            "                 card in a reader would (needs root)\n");
}

// "64M" -> 67108864; 0 when malformed.
unsigned long long parseSize(const std::string &text) {
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 10);
    if (errno || end == text.c_str() || text[0] == '-')
        return 0;
    int shift = 0;
    if (*end) {
        switch (*end) {
            case 'K': case 'k': shift = 10; break;
            case 'M': case 'm': shift = 20; break;
            case 'G': case 'g': shift = 30; break;
            default: return 0;
        }
        if (end[1] != '\0' && strcmp(end + 1, "iB") != 0 && strcmp(end + 1, "B") != 0)
            return 0;
    }
    if (v > (ULLONG_MAX >> shift))
        return 0;
    return v << shift;
}

// A new sparse file of `size` bytes; an existing file is used as it is, but
// nothing that is not a regular file.
bool makeImage(const std::string &path, unsigned long long size, std::string *error) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            *error = path + " is not a regular file";
            return false;
        }
        if (st.st_size == 0) {
            *error = path + " is empty";
            return false;
        }
        return true;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, off_t(size)) != 0) {
        *error = path + ": " + strerror(errno);
        if (fd >= 0) {
            close(fd);
            unlink(path.c_str());
        }
        return false;
    }
    close(fd);
    return true;
}

}  // namespace

int kelsim_card_main(int argc, char **argv) {
    unsigned long long size = 64ull << 20;
    std::string image;
    bool loop = false;
    int cmdAt = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            cmdAt = i + 1;
            break;
        }
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if ((a == "--size" || a == "--image") && i + 1 < argc) {
            const std::string v = argv[++i];
            if (a == "--image") {
                image = v;
                continue;
            }
            size = parseSize(v);
            // Room for a partition table and a partition behind it.
            if (size < (1ull << 20)) {
                fprintf(stderr, "kelsim card: bad size %s (at least 1M)\n", v.c_str());
                return 2;
            }
        } else if (a == "--loop") {
            loop = true;
        } else {
            if (a == "--size" || a == "--image")
                fprintf(stderr, "kelsim card: %s needs a value\n", a.c_str());
            else
                fprintf(stderr, "kelsim card: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (cmdAt >= argc) {
        fprintf(stderr, "kelsim card: no command after --\n");
        return 2;
    }

    std::string tempDir;
    if (image.empty()) {
        char tmpl[] = "/tmp/kelsim-card-XXXXXX";
        if (!mkdtemp(tmpl)) {
            fprintf(stderr, "kelsim card: cannot make a directory: %s\n", strerror(errno));
            return kOwnFailure;
        }
        tempDir = tmpl;
        image = tempDir + "/card.img";
    }
    std::string error;
    int status = kOwnFailure;
    if (!makeImage(image, size, &error)) {
        fprintf(stderr, "kelsim card: %s\n", error.c_str());
    } else {
        // The command may work in another directory.
        char *absolute = realpath(image.c_str(), nullptr);
        std::string card = absolute ? absolute : image;
        free(absolute);
        kelsim::CardLoop device;
        if (loop && !device.attach(card, &error)) {
            fprintf(stderr, "kelsim card: cannot attach a loop device: %s\n", error.c_str());
        } else {
            if (loop)
                card = device.node();
            if (cmdAt > 0) {
                kelsim::prependToVariable("KELFLASH_SIM_CARDS", card);
                status = kelsim::runCommand("card", argv + cmdAt);
            } else {
                kelsim::printAndWaitForStop(card);
                status = 0;
            }
        }
    }
    if (!tempDir.empty()) {
        unlink(image.c_str());
        rmdir(tempDir.c_str());
    }
    return status;
}
