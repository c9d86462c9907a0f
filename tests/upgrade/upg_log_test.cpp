// The library's log routine: prefix, padding, truncation, no sink.
#include <gtest/gtest.h>

#include <string>

#include "image_test_util.h"

using imgtest::LogCapture;

TEST(UpgLog, PrefixIsPaddedToFortyColumns) {
    LogCapture log;
    upg_log_print(UPG_LOG_ERR, "f", 12, "hello %d", 5);
    ASSERT_EQ(LogCapture::lines().size(), 1u);
    EXPECT_EQ(LogCapture::lines()[0].first, 3);
    EXPECT_EQ(LogCapture::lines()[0].second, "f()12: " + std::string(33, ' ') + "hello 5");
}

TEST(UpgLog, LongPrefixGetsNoPaddingAndPlainTextNoPrefix) {
    LogCapture log;
    const std::string name(40, 'n');
    upg_log_print(UPG_LOG_DEBUG, name.c_str(), 7, "x");
    upg_log_print(UPG_LOG_PLAIN, nullptr, 0, "progress %s", "50%");
    ASSERT_EQ(LogCapture::lines().size(), 2u);
    EXPECT_EQ(LogCapture::lines()[0].second, name + "()7: x");
    EXPECT_EQ(LogCapture::lines()[1].first, -1);
    EXPECT_EQ(LogCapture::lines()[1].second, "progress 50%");
}

TEST(UpgLog, LongMessageIsCutToTheBufferAndNoSinkDropsMessages) {
    {
        LogCapture log;
        const std::string big(5000, 'z');
        upg_log_print(UPG_LOG_ERR, "f", 1, "%s", big.c_str());
        ASSERT_EQ(LogCapture::lines().size(), 1u);
        EXPECT_EQ(LogCapture::lines()[0].second.size(), 1023u);
    }
    LogCapture::lines().clear();
    upg_log_print(UPG_LOG_ERR, "f", 1, "dropped");  // no sink registered: nothing happens
    EXPECT_TRUE(LogCapture::lines().empty());
}
