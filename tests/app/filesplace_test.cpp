// Where the program's files go: the start folder when it can be written, the
// user's data directory otherwise or on request.
#include <QDir>
#include <gtest/gtest.h>

#include "filesplace.h"

namespace {

TEST(FilesPlace, TheStartFolderUnlessItCannotBeWrittenOrTheUserDataIsAskedFor) {
    const QString home = QDir::currentPath();
    const QString data = home + "/xdg/KelFlash";
    qputenv("XDG_DATA_HOME", (home + "/xdg").toLocal8Bit());
    struct Case {
        QString start;  // /proc takes no new files, not even from root
        bool userData;
        QString expectedDir;
        const char *said;
    } cases[] = {
        {home, false, home, ""},
        {"/proc", false, data, "is not writable"},
        {home, true, data, "the user's data directory"},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(QDir::setCurrent(c.start));
        const QString said = chooseFilesPlace(c.userData);
        EXPECT_EQ(QDir::currentPath(), c.expectedDir) << c.start.toStdString();
        EXPECT_TRUE(QByteArray(c.said).isEmpty() ? said.isEmpty() : said.contains(c.said))
            << said.toStdString();
    }
    QDir::setCurrent(home);
    qunsetenv("XDG_DATA_HOME");
}

}  // namespace
