// The settings file "KelFlash.ini" and the image history file "img_history.txt",
// both kept in the process's current directory.
#pragma once

#include <QList>
#include <QMutex>
#include <QString>

#include "inifile.h"

// Process-wide typed store over the settings file. Values are kept as text:
// booleans as "1"/"0" (anything but "1" reads false), integers in decimal
// (anything that is not a number reads 0), so hand-edited files behave predictably.
class Settings {
public:
    // The process-wide store, created on first use (thread-safe) on "KelFlash.ini".
    static Settings &instance();

    // A store of its own on `fileName`; the process-wide one is normally enough.
    explicit Settings(const QString &fileName = QStringLiteral("KelFlash.ini"));
    ~Settings();
    Settings(const Settings &) = delete;
    Settings &operator=(const Settings &) = delete;

    // Empty group or key: reads the empty text, stores nothing.
    QString value(const QString &group, const QString &key);
    void setValue(const QString &group, const QString &key, const QString &value);
    bool boolValue(const QString &group, const QString &key);
    void setBoolValue(const QString &group, const QString &key, bool value);
    int intValue(const QString &group, const QString &key);
    void setIntValue(const QString &group, const QString &key, int value);

    QString imagePath();
    void setImagePath(const QString &path);
    QString selectedParts();
    void setSelectedParts(const QString &parts);
    bool isDbInited();
    void setDbInited();
    bool autoBurn();
    void setAutoBurn(bool on);
    // Compare each burnt component's board checksum with the image's CRC.
    bool verifyChecksum();
    void setVerifyChecksum(bool on);
    // Compare each component of the image with its record's CRC-32 before a
    // burn or a card write, and refuse the image when one differs.
    bool checkImageCrc();
    void setCheckImageCrc(bool on);
    bool showStatistic();
    void setShowStatistic(bool on);
    // Also switches the library's debug-level messages in the log sink.
    bool isVerbose();
    void setVerbose(bool on);
    int retryCount();
    void setRetryCount(int count);
    // The interface language as stored ("en" or "zh", read at start); any other
    // text reads as Chinese.
    QString language();
    void setLanguage(const QString &language);

    // Whether the last write reached the file (false on an unwritable file).
    bool lastWriteOk();

private:
    // The burn worker reads the retry count while the GUI thread may write.
    QMutex m_lock;
    // In the file's own text: lines that are no setting of this program survive
    // every write.
    IniFile m_file;
    bool m_writeOk = true;
};

struct HistoryRecord {
    QString path;
    QString time;  // local time of the last selection, "yyyy-MM-dd_hh:mm:ss"
};

// The recently chosen images, at most one record per path, newest first after add().
class HistoryList {
public:
    // Appends the records of the history file in file order. A missing file is an
    // empty history; an unreadable one is reported and leaves the list as it was.
    bool load();
    // Replaces the file's contents with the list. The new contents are written
    // aside and moved over the old file, so a full disk keeps the old history.
    bool save() const;
    void add(const HistoryRecord &record);
    void clear();
    const QList<HistoryRecord> &records() const { return m_list; }

    // The history file's absolute path, formed from the current directory.
    static QString filePath();

private:
    QList<HistoryRecord> m_list;
};
