// The partition-list syntax: numbers, units, starts, names, and long lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_test_util.h"

using imgtest::LogCapture;

namespace {

struct List {
    explicit List(const std::string &text, uint64_t first = IMAGE_FIRST_PART_START)
        : head(image_partition_parse(text.c_str(), first)) {}
    ~List() { image_partition_release(head); }
    const PartitionEntry *at(int i) const {
        const PartitionEntry *e = head;
        while (e && i-- > 0)
            e = e->next;
        return e;
    }
    std::string name(int i) const {
        const PartitionEntry *e = at(i);
        return e ? std::string(e->name, strnlen(e->name, PARTITION_NAME_LEN)) : "<none>";
    }
    PartitionEntry *head;
};

}  // namespace

TEST(PartitionList, UnitsAndBases) {
    LogCapture log;
    List l("16M(a),16MB(b),16MiB(c),16m(d),0x10k(e),010(f),1g(g),3kiB(h),5(i)");
    ASSERT_EQ(image_partition_count(l.head), 9);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(l.at(i)->size, 16u << 20) << i;
    EXPECT_EQ(l.at(4)->size, 16u << 10);
    EXPECT_EQ(l.at(5)->size, 8u);
    EXPECT_EQ(l.at(6)->size, 1u << 30);
    EXPECT_EQ(l.at(7)->size, 3u << 10);
    EXPECT_EQ(l.at(8)->size, 5u);
    EXPECT_EQ(l.name(7), "h");
    // Each entry starts where the previous one ends.
    uint64_t start = 0x4400;
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(l.at(i)->start, start) << i;
        start += l.at(i)->size;
    }
    // Every kept entry is logged at debug level, the last one first.
    EXPECT_TRUE(log.contains("Part a: start 17408 size 16777216", 7));
    std::vector<std::string> parts;
    for (const auto &line : LogCapture::lines()) {
        const size_t at = line.second.find("Part ");
        if (at != std::string::npos)
            parts.push_back(line.second.substr(at + 5, 1));
    }
    EXPECT_EQ(parts, (std::vector<std::string>{"i", "h", "g", "f", "e", "d", "c", "b", "a"}));
}

TEST(PartitionList, SectorFormStartsAndRestOfDevice) {
    List l("s:2048k(x),1m@0X200000(y),-(z),4m@64m(w)");
    ASSERT_EQ(image_partition_count(l.head), 4);
    EXPECT_EQ(l.at(0)->size, 2048u << 10);
    EXPECT_EQ(l.at(1)->start, 0x200000u);
    EXPECT_EQ(l.at(2)->start, 0x300000u);
    EXPECT_EQ(l.at(2)->size, 0u);
    EXPECT_EQ(l.at(3)->start, 64u << 20);
    // "0x" without a hex digit behind it is an octal zero followed by "x".
    LogCapture log;
    List bad("0x(q)");
    EXPECT_EQ(bad.head, nullptr);
    EXPECT_TRUE(log.contains("Partition name should be next of size."));
    List noColon("s2048(q)");
    EXPECT_EQ(noColon.head, nullptr);
}

TEST(PartitionList, NamesAreBoundedToTheirField) {
    const std::string n32(32, 'N');
    List exact("1m(" + n32 + "),1m(b)");
    ASSERT_EQ(image_partition_count(exact.head), 2);
    EXPECT_EQ(exact.name(0), n32);
    EXPECT_EQ(exact.name(1), "b");

    // Logging a full 32-character name stays inside the field: the start that
    // follows it in memory must not show up behind the name.
    LogCapture log;
    List logged("1m@0x4141(" + n32 + ")");
    EXPECT_TRUE(log.contains("Part " + n32 + ": start"));
}

// A list that does not end where its text ends is refused whole, with the
// place of the fault, instead of being cut short.
TEST(PartitionList, MalformedRestFailsTheWholeList) {
    const std::string n32(32, 'N');
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"1m(a),1m(" + n32 + "X),1m(c)",
         "Partition name \"" + n32 + "...\" at offset 9 is longer than 32 characters."},
        {"1m(a)x,2m(b)", "Unexpected 'x' at offset 5 behind partition \"a\""},
        {"1m(a),2m(b) ,3m(c)", "Unexpected ' ' at offset 11 behind partition \"b\""},
        {"1m(a)\t", "Unexpected byte 0x09 at offset 5"},
        {"1m(a),1m(abc", "Partition name \"abc\" at offset 9 has no closing ')'."},
        {"1m(" + n32, "has no closing ')'"},
    };
    for (const auto &c : cases) {
        LogCapture log;
        List l(c.text);
        EXPECT_EQ(l.head, nullptr) << c.text;
        EXPECT_TRUE(log.contains(c.message, 3)) << c.text << "\n" << log.all();
    }
}

TEST(PartitionList, FailedLaterEntryKeepsTheEarlierOnes) {
    LogCapture log;
    List l("1m(a),2m(b),junk");
    ASSERT_EQ(image_partition_count(l.head), 2);
    EXPECT_EQ(l.name(1), "b");
    EXPECT_EQ(l.at(1)->next, nullptr);
    EXPECT_TRUE(log.contains("Partition name should be next of size."));
    List empty("");
    EXPECT_EQ(empty.head, nullptr);
    EXPECT_EQ(image_partition_parse(nullptr, 0), nullptr);
}

TEST(PartitionList, HundredThousandEntriesDoNotExhaustTheStack) {
    std::string text;
    const int n = 100000;
    text.reserve(static_cast<size_t>(n) * 10);
    for (int i = 0; i < n; ++i) {
        if (i)
            text += ',';
        text += "1k(p" + std::to_string(i) + ")";
    }
    List l(text);
    ASSERT_EQ(image_partition_count(l.head), n);
    EXPECT_EQ(l.name(n - 1), "p99999");
    EXPECT_EQ(l.at(n - 1)->start, 0x4400u + static_cast<uint64_t>(n - 1) * 1024);
}

TEST(PartitionList, HugeNumbersSaturateInsteadOfWrapping) {
    List l("99999999999999999999999(a),0xFFFFFFFFFFFFFFFFk(b)");
    ASSERT_EQ(image_partition_count(l.head), 2);
    EXPECT_EQ(l.at(0)->size, UINT64_MAX);
    EXPECT_EQ(l.at(1)->size, UINT64_MAX);
}
