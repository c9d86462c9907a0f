// kelflash-cli as a user runs it: exit statuses, output, manifests.
#include <QCryptographicHash>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli.h"
#include "image_test_util.h"

using namespace imgtest;

namespace {

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

CliRun cli(const std::vector<std::string> &args) {
    const char *bin = getenv("KELFLASH_BINARY_DIR");
    std::string exe = std::string(bin ? bin : ".") + "/cli/kelflash-cli";
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(exe.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("cli.out", "w", stdout) || !freopen("cli.err", "w", stderr))
            _exit(127);
        alarm(60);  // a command that hangs fails its test instead of the whole run
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    CliRun r;
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = slurp("cli.out");
    r.err = slurp("cli.err");
    return r;
}

void writeText(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A manifest with data files in a sub-directory, referenced relatively.
void writeManifest() {
    mkdir("m", 0755);
    writeFile("m/spl.bin", bytes(5000, 1));
    writeFile("m/kernel.bin", bytes(20000, 2));
    writeText("m/image.json", R"J({
        "platform": "KV7210", "product": "evb", "version": "3.0", "media_type": "mmc",
        "media_id": "emmc0", "word264": 7,
        "env": ["bootdelay=1", "parts_mmc=1m(spl),8m(kernel),-(rootfs)"],
        "components": [
            {"name": "spl", "partition": "spl", "attributes": "run", "ram": "0x80000000",
             "file": "spl.bin"},
            {"name": "kernel", "partition": "kernel", "ram": 2147483648, "file": "kernel.bin"}
        ]})J");
}

}  // namespace

TEST(Cli, PackThenInfoShowsTheDisplayFormat) {
    writeManifest();
    CliRun p = cli({"pack", "m/image.json", "out.img"});
    ASSERT_EQ(p.status, 0) << p.err;
    CliRun i = cli({"info", "out.img"});
    ASSERT_EQ(i.status, 0) << i.err;
    EXPECT_EQ(i.err, "");
    // Exactly what the library prints.
    StdoutCapture cap;
    ASSERT_EQ(image_display_info("out.img"), 0);
    EXPECT_EQ(i.out, cap.text());
    EXPECT_NE(i.out.find("\tplatform   : KV7210\n"), std::string::npos);
    EXPECT_NE(i.out.find("FWC Info 0:\n\tmagic      : KEL.FWC\n\tname       : image.updater.env\n"),
              std::string::npos);
    EXPECT_NE(i.out.find("\tname       : kernel\n"), std::string::npos);
    EXPECT_NE(i.out.find("\tRAM        : 0x80000000\n\tAttributes : run\n"), std::string::npos);

    unsigned char hdr[IMAGE_HEADER_SIZE];
    ASSERT_EQ(image_hdr_read("out.img", hdr, nullptr), 0);
    EXPECT_EQ(image_hdr_word(hdr, IMAGE_HDR_WORD264), 7u);
    FwcMeta env;
    ASSERT_EQ(image_meta_read("out.img", &env, 1, nullptr), 0);
    PartitionEntry *l = image_partition_read("out.img", "parts_mmc", env.offset, env.size, nullptr);
    ASSERT_EQ(image_partition_count(l), 3);
    image_partition_release(l);
}

TEST(Cli, ExtractIntoADirectory) {
    writeManifest();
    ASSERT_EQ(cli({"pack", "m/image.json", "out.img"}).status, 0);
    mkdir("x", 0755);
    CliRun e = cli({"extract", "out.img", "-C", "x"});
    ASSERT_EQ(e.status, 0) << e.err;
    EXPECT_EQ(readFile("x/spl"), bytes(5000, 1));
    EXPECT_EQ(readFile("x/kernel"), bytes(20000, 2));
    EXPECT_EQ(readFile("x/image.updater.env"),
              image_pack_env({"bootdelay=1", "parts_mmc=1m(spl),8m(kernel),-(rootfs)"}));
    EXPECT_NE(e.out.find("  kernel"), std::string::npos);

    CliRun missing = cli({"extract", "out.img", "-C", "nowhere"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("nowhere"), std::string::npos);
}

TEST(Cli, HostileImageIsRefusedWithAMessage) {
    ImagePackSpec spec = sampleSpec();
    spec.components.push_back(component("../escape", bytes(10, 1)));
    writeFile("h.img", build(spec));
    mkdir("d", 0755);
    CliRun e = cli({"extract", "h.img", "-C", "d"});
    EXPECT_EQ(e.status, 1);
    EXPECT_NE(e.err.find("\"../escape\", which is not a plain file name"), std::string::npos)
        << e.err;
    struct stat st;
    EXPECT_NE(stat("escape", &st), 0);
    EXPECT_NE(stat("d/spl", &st), 0);
}

TEST(Cli, ExitStatusesAndHelp) {
    EXPECT_EQ(cli({}).status, 2);
    EXPECT_EQ(cli({"frobnicate"}).status, 2);
    EXPECT_EQ(cli({"--bogus"}).status, 2);
    CliRun top = cli({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_NE(top.out.find("pack"), std::string::npos);
    for (const char *cmd : {"info", "extract", "pack"}) {
        CliRun h = cli({cmd, "--help"});
        EXPECT_EQ(h.status, 0) << cmd;
        EXPECT_NE(h.out.find(std::string("Usage: kelflash-cli ") + cmd), std::string::npos);
        EXPECT_EQ(cli({cmd}).status, 2) << cmd;
        EXPECT_EQ(cli({cmd, "--nope", "x"}).status, 2) << cmd;
    }
    EXPECT_EQ(cli({"pack", "only-one.json"}).status, 2);
    EXPECT_EQ(cli({"extract", "a.img", "-C"}).status, 2);

    CliRun noFile = cli({"info", "missing.img"});
    EXPECT_EQ(noFile.status, 1);
    // The library's message reaches stderr with its function prefix.
    EXPECT_NE(noFile.err.find("image_display_info()"), std::string::npos) << noFile.err;
    EXPECT_NE(noFile.err.find("Cannot open file missing.img"), std::string::npos);
}

// A file that cannot be an image, or a disk that takes no more, is named with
// the reason, and nothing waits for a FIFO's writer.
TEST(Cli, FileErrorsSayWhy) {
    writeManifest();
    ASSERT_EQ(cli({"pack", "m/image.json", "out.img"}).status, 0);
    mkdir("dir.img", 0755);
    writeText("empty.img", "");
    writeText("short.img", "KEL.FW");
    unlink("fifo.img");
    ASSERT_EQ(mkfifo("fifo.img", 0600), 0);
    // The first component's file leads to a full disk.
    mkdir("full", 0755);
    unlink("full/image.updater.env");
    ASSERT_EQ(symlink("/dev/full", "full/image.updater.env"), 0);
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"info", "dir.img"}, "dir.img: not a readable image: Is a directory"},
        {{"info", "empty.img"}, "empty.img: not a readable image: the file is empty"},
        {{"info", "short.img"}, "the file has only 6 bytes, less than the 2048-byte header"},
        {{"info", "fifo.img"}, "fifo.img: not a readable image: Is a FIFO, not a regular file"},
        {{"extract", "fifo.img"}, "Is a FIFO, not a regular file"},
        {{"extract", "dir.img"}, "Is a directory"},
        {{"extract", "out.img", "-C", "full"},
         "failed to write file full/image.updater.env: No space left on device"},
    };
    for (const auto &c : cases) {
        CliRun r = cli(c.args);
        EXPECT_EQ(r.status, 1) << c.args[1];
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args[1] << "\n" << r.err;
    }
}

TEST(Cli, LibrarySinkShowsDebugOnlyWhenVerbose) {
    fflush(stderr);
    int saved = dup(2);
    FILE *f = freopen("sink.err", "w", stderr);
    ASSERT_NE(f, nullptr);
    kelcli_install_log_sink();
    kelcli_set_verbose(false);
    upg_log_print(UPG_LOG_DEBUG, "dbg", 1, "hidden");
    upg_log_print(UPG_LOG_ERR, "err", 2, "shown");
    kelcli_set_verbose(true);
    upg_log_print(UPG_LOG_DEBUG, "dbg", 3, "now visible");
    kelcli_set_verbose(false);
    upg_log_set_callback(nullptr);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    const std::string text = slurp("sink.err");
    EXPECT_EQ(text.find("hidden"), std::string::npos) << text;
    EXPECT_NE(text.find("err()2: "), std::string::npos) << text;
    EXPECT_NE(text.find("shown\n"), std::string::npos) << text;
    EXPECT_NE(text.find("now visible"), std::string::npos) << text;

    // -v is accepted before and after the command.
    writeManifest();
    ASSERT_EQ(cli({"pack", "m/image.json", "out.img"}).status, 0);
    EXPECT_EQ(cli({"-v", "info", "out.img"}).status, 0);
    EXPECT_EQ(cli({"info", "-v", "out.img"}).status, 0);
    CliRun quiet = cli({"info", "out.img"});
    EXPECT_EQ(quiet.err, "");

    writeText("bad.json", "{");
    CliRun bad = cli({"pack", "bad.json", "o.img"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("bad.json"), std::string::npos);
    struct stat st;
    EXPECT_NE(stat("o.img", &st), 0);
}

TEST(Cli, ManifestErrorsAreClear) {
    mkdir("m", 0755);
    struct Case {
        const char *json;
        const char *expect;
    } cases[] = {
        {R"J({"components": [{"name": "a"}]})J", "\"file\" is missing"},
        {R"J({"components": [{"name": "a", "file": "nope.bin"}]})J", "nope.bin"},
        {R"J({"components": [], "colour": "red"})J", "unknown key \"colour\""},
        {R"J({"components": [{"name": "a", "file": "x", "ram": -1}]})J", "\"ram\""},
        {R"J({"components": [{"name": "a", "file": "x", "ram": "0x1FFFFFFFF"}]})J", "\"ram\""},
        {R"J({"platform": 5, "components": []})J", "\"platform\" must be a string"},
        {R"J({"env": [7], "components": []})J", "env"},
        {R"J([1, 2])J", "JSON object"},
        {R"J({})J", "\"components\" must be an array"},
    };
    for (const Case &c : cases) {
        writeText("m/bad.json", c.json);
        CliRun r = cli({"pack", "m/bad.json", "m/out.img"});
        EXPECT_EQ(r.status, 1) << c.json;
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << c.json << "\n" << r.err;
        struct stat st;
        EXPECT_NE(stat("m/out.img", &st), 0) << c.json;
    }
}

// info --check reads the file once: its SHA-256, and every component against
// the CRC-32 of its record, naming the ones that differ.
TEST(Cli, InfoCheckNamesTheComponentsThatDiffer) {
    writeManifest();
    ASSERT_EQ(cli({"pack", "m/image.json", "good.img"}).status, 0);
    std::vector<uint8_t> img = readFile("good.img");
    const QByteArray file(reinterpret_cast<const char *>(img.data()), int(img.size()));
    const std::string sha =
        QCryptographicHash::hash(file, QCryptographicHash::Sha256).toHex().toStdString();
    img[img.size() - 100] ^= 0x5A;  // inside the kernel, the last component
    writeFile("bad.img", img);

    CliRun good = cli({"info", "--check", "good.img"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_NE(good.out.find("SHA-256: " + sha + "\n"), std::string::npos) << good.out;
    EXPECT_NE(good.out.find("All 3 components match"), std::string::npos) << good.out;

    CliRun bad = cli({"info", "--check", "bad.img"});
    EXPECT_EQ(bad.status, 1);
    // A line per component; only the kernel's says that it differs.
    for (const std::string name : {"image.updater.env", "spl", "kernel"}) {
        const size_t at = bad.out.find("  " + name + " ");
        ASSERT_NE(at, std::string::npos) << name << "\n" << bad.out;
        const std::string line = bad.out.substr(at, bad.out.find('\n', at) - at);
        EXPECT_EQ(line.find("DIFFERS: the data gives 0x") != std::string::npos, name == "kernel")
            << line;
    }
    EXPECT_NE(bad.err.find("1 of 3 components differ from the CRC-32 of their records: kernel"),
              std::string::npos)
        << bad.err;
}
