// The card writer against dd: an image's components written to a loop device
// and to a card image file by `kelflash-cli card write`, and the same bytes
// copied to the same places by `dd bs=4M conv=fsync`, in alternating runs.
//
//   card_bench [MiB]      (default 512; run as root for the loop device)
//
// Reports each side's median time and the writer's speed as a share of dd's
// (dd time / writer time; the goal is at least 0.95), and the writer's peak
// resident size for a quarter-size and a full-size image, which should be the
// same: the writer holds one chunk at a time, whatever the image's size.
#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "image_pack.h"
#include "imagecheck.h"

namespace {

constexpr int kRounds = 5;
constexpr uint64_t kMiB = 1 << 20;
// Where the list puts the two components: uboot at 0x4400, rootfs behind it.
constexpr uint64_t kUbootSize = 4 * kMiB;
constexpr uint64_t kUbootStart = 0x4400;
constexpr uint64_t kRootfsStart = kUbootStart + 8 * kMiB;

struct Run {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

// Runs a program and waits for it, with its own time and peak resident size;
// its standard output goes to `out` when given.
Run runChild(const std::vector<std::string> &argv, const std::string &out = "/dev/null") {
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    fflush(stdout);  // or the child would print it again
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        freopen(out.c_str(), "w", stdout);
        freopen("/dev/null", "w", stderr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    Run r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.peakKiB = ru.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

bool makeData(const std::string &path, uint64_t bytes, uint32_t seed) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::vector<unsigned char> block(kMiB);
    uint32_t x = seed;
    for (uint64_t done = 0; done < bytes; done += block.size()) {
        for (auto &b : block) {
            x = x * 1103515245u + 12345u;
            b = uint8_t(x >> 24);
        }
        fwrite(block.data(), 1, std::min<uint64_t>(block.size(), bytes - done), f);
    }
    return fclose(f) == 0;
}

struct Image {
    std::string path;
    uint64_t ubootOffset = 0, rootfsOffset = 0, rootfsSize = 0;
};

bool makeImage(const std::string &dir, uint64_t totalMiB, Image *img) {
    img->path = dir + "/bench-" + std::to_string(totalMiB) + ".img";
    img->rootfsSize = totalMiB * kMiB - kUbootSize;
    if (!makeData(dir + "/uboot.bin", kUbootSize, 1) ||
        !makeData(dir + "/rootfs.bin", img->rootfsSize, 2))
        return false;
    ImagePackSpec spec;
    spec.platform = "KV7210";
    spec.product = "bench";
    spec.version = "1";
    spec.mediaType = "mmc";
    spec.components.push_back(image_pack_env_component({"parts_mmc=8m(uboot),-(rootfs)"}));
    ImagePackComponent uboot, rootfs;
    uboot.name = "uboot";
    uboot.partition = "uboot";
    uboot.dataFile = dir + "/uboot.bin";
    rootfs.name = "image.target.rootfs";
    rootfs.partition = "rootfs";
    rootfs.dataFile = dir + "/rootfs.bin";
    spec.components.push_back(uboot);
    spec.components.push_back(rootfs);
    std::string error;
    if (image_pack_write(spec, img->path, &error) != 0) {
        fprintf(stderr, "card_bench: %s\n", error.c_str());
        return false;
    }
    // The components' places in the image: the env first, then in order, each
    // on a 512-byte boundary behind the header and the 2048-byte records.
    FILE *f = fopen(img->path.c_str(), "rb");
    std::vector<unsigned char> meta(3 * 256);
    fseek(f, 2048, SEEK_SET);
    const bool read = fread(meta.data(), 1, meta.size(), f) == meta.size();
    fclose(f);
    if (!read)
        return false;
    auto word = [&](int rec, int at) {
        const unsigned char *p = meta.data() + rec * 256 + at;
        return uint64_t(p[0]) | uint64_t(p[1]) << 8 | uint64_t(p[2]) << 16 | uint64_t(p[3]) << 24;
    };
    img->ubootOffset = word(1, 136);
    img->rootfsOffset = word(2, 136);
    return true;
}

std::vector<std::string> ddCopy(const std::string &image, const std::string &target,
                                uint64_t from, uint64_t to, uint64_t bytes) {
    return {"dd", "if=" + image, "of=" + target, "bs=4M", "iflag=skip_bytes,count_bytes",
            "oflag=seek_bytes", "conv=fsync,notrunc", "skip=" + std::to_string(from),
            "seek=" + std::to_string(to), "count=" + std::to_string(bytes), "status=none"};
}

// The job's own time from the last JSON line: the program's start-up left out.
double jobSeconds(const std::string &jsonFile) {
    FILE *f = fopen(jsonFile.c_str(), "r");
    char line[512];
    double seconds = 0;
    while (f && fgets(line, sizeof line, f)) {
        const char *at = strstr(line, "\"seconds\":");
        if (at) {
            seconds = atof(at + 10);
        }
    }
    if (f) {
        fclose(f);
    }
    return seconds;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Alternating runs of the writer and of dd on one target; `extra`: more
// options for the writer.
void compare(const char *name, const std::string &target, const Image &img,
             const std::vector<std::string> &extra = {}) {
    std::vector<double> ours, jobs, dds;
    const std::string json = img.path + ".json";
    for (int i = 0; i < kRounds; ++i) {
        std::vector<std::string> args{KELFLASH_CLI, "card",  "write",   img.path, "--device",
                                      target,       "--yes", "--force", "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        const Run w = runChild(args, json);
        if (!w.ok) {
            printf("%-6s kelflash-cli card write failed\n", name);
            return;
        }
        ours.push_back(w.seconds);
        jobs.push_back(jobSeconds(json));
        const Run a = runChild(ddCopy(img.path, target, img.ubootOffset, kUbootStart, kUbootSize));
        const Run b =
            runChild(ddCopy(img.path, target, img.rootfsOffset, kRootfsStart, img.rootfsSize));
        if (!a.ok || !b.ok) {
            printf("%-6s dd failed\n", name);
            return;
        }
        dds.push_back(a.seconds + b.seconds);
    }
    const double o = median(ours), d = median(dds), j = median(jobs);
    printf("%-6s writer %6.3f s  dd %6.3f s  writer/dd time %.3f  speed share %.3f %s\n", name,
           o, d, o / d, d / o, d / o >= 0.95 ? "(goal met)" : "(below 0.95)");
    printf("%-6s the job alone (without the program's start-up) %6.3f s, speed share %.3f\n", "",
           j, d / j);
}

}  // namespace

int main(int argc, char **argv) {
    const uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 512;
    if (mib < 16) {
        fprintf(stderr, "usage: card_bench [MiB >= 16]\n");
        return 2;
    }
    QTemporaryDir dir(QDir::currentPath() + "/card-bench-XXXXXX");
    const std::string d = dir.path().toStdString();
    Image full, quarter;
    if (!makeImage(d, mib, &full) || !makeImage(d, mib / 4, &quarter)) {
        fprintf(stderr, "card_bench: cannot build the images in %s\n", d.c_str());
        return 1;
    }
    const uint64_t cardBytes = (mib + 64) * kMiB;
    printf("image %llu MiB (uboot 4 MiB + rootfs), card %llu MiB, %d alternating rounds\n",
           (unsigned long long)mib, (unsigned long long)(cardBytes / kMiB), kRounds);

    const std::string file = d + "/card.img";
    runChild({"truncate", "-s", std::to_string(cardBytes), file});
    compare("file", file, full);
    // The same with the image checked first (--sha256 and --check-crc: one more
    // read of the image, before the card is touched).
    ImageCheck sum;
    sum.setComputeSha256(true);
    if (sum.run(QString::fromStdString(full.path), nullptr, 0)) {
        compare("file+check", file, full,
                {"--sha256", sum.sha256().toHex().toStdString(), "--check-crc"});
    }

    const std::string loopFile = d + "/loop.img";
    runChild({"truncate", "-s", std::to_string(cardBytes), loopFile});
    FILE *p = popen(("losetup --find --show " + loopFile + " 2>/dev/null").c_str(), "r");
    char node[64] = {};
    const bool attached = p && fgets(node, sizeof node, p) && pclose(p) == 0;
    std::string loop(node);
    loop.erase(loop.find_last_not_of('\n') + 1);
    if (attached && !loop.empty()) {
        compare("loop", loop, full);
        runChild({"losetup", "--detach", loop});
    } else {
        printf("loop   skipped (no loop device: run as root)\n");
    }

    const Run small = runChild({KELFLASH_CLI, "card", "write", quarter.path, "--device", file,
                                "--yes"});
    const Run big = runChild({KELFLASH_CLI, "card", "write", full.path, "--device", file, "--yes"});
    printf("peak RSS of the writer: %ld KiB for %llu MiB, %ld KiB for %llu MiB%s\n",
           small.peakKiB, (unsigned long long)(mib / 4), big.peakKiB, (unsigned long long)mib,
           small.ok && big.ok ? "" : " (a write failed)");
    return 0;
}
