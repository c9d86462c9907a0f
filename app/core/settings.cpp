#include "settings.h"

#include "kellogger.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTextCodec>
#include <QTextStream>

#include <algorithm>

namespace {
const QString kCommon = QStringLiteral("common");
const QString kSystem = QStringLiteral("system");
const QString kDebug = QStringLiteral("debug");
const QString kVerboseKey = QStringLiteral("is_verbose");
const QString kUi = QStringLiteral("ui");
const QString kLanguageKey = QStringLiteral("language");
const QString kHistoryFile = QStringLiteral("img_history.txt");

// The file is GB2312 so that stations share it, but GB2312 cannot hold every
// character of a path ("straße.img"): the codec would write a "?" and the value
// would be lost. Such a value is stored as percent-encoded UTF-8 behind this
// mark instead; every value GB2312 can hold is stored as it is.
const QString kUtf8Mark = QStringLiteral("@Utf8(");
// Left readable inside the encoded form: the characters of a path.
const QByteArray kUtf8Plain = QByteArrayLiteral("/\\:.-_ ");

QString storedForm(const QString &value) {
    static QTextCodec *const codec = QTextCodec::codecForName("GB2312");
    // A plain value that happens to look encoded is encoded too, so that it
    // reads back as itself.
    if (codec != nullptr && codec->canEncode(value) && !value.startsWith(kUtf8Mark)) {
        return value;
    }
    return kUtf8Mark + QString::fromLatin1(value.toUtf8().toPercentEncoding(kUtf8Plain)) +
           QLatin1Char(')');
}

QString valueOf(const QString &stored) {
    if (!stored.startsWith(kUtf8Mark) || !stored.endsWith(QLatin1Char(')'))) {
        return stored;
    }
    const QString encoded = stored.mid(kUtf8Mark.size(), stored.size() - kUtf8Mark.size() - 1);
    return QString::fromUtf8(QByteArray::fromPercentEncoding(encoded.toLatin1()));
}
}  // namespace

Settings &Settings::instance() {
    // The library log sink keeps its own copy of the verbose flag, so that it never
    // has to read the file for a message; it starts from the stored value.
    static Settings store;
    static const bool verboseApplied = [] {
        KelLogger::setVerbose(store.isVerbose());
        return true;
    }();
    Q_UNUSED(verboseApplied);
    return store;
}

Settings::Settings(const QString &fileName) : m_file(fileName, "GB2312") {}

Settings::~Settings() = default;

QString Settings::value(const QString &group, const QString &key) {
    if (group.isEmpty() || key.isEmpty()) {
        return QString();
    }
    QMutexLocker locker(&m_lock);
    QString stored;
    return m_file.value(group, key, &stored) ? valueOf(stored) : QString();
}

void Settings::setValue(const QString &group, const QString &key, const QString &value) {
    if (group.isEmpty() || key.isEmpty()) {
        return;
    }
    QMutexLocker locker(&m_lock);
    // Written through at once, so a crash or a killed process loses no setting.
    QString error;
    m_writeOk = m_file.setValue(group, key, storedForm(value), &error);
    if (!m_writeOk) {
        qWarning() << "Failed to write" << group + "/" + key << "to" << m_file.fileName() << ":"
                   << error;
    }
    locker.unlock();
    // The log sink keeps its own copy of the flag; keep it in step with every write.
    if (group == kDebug && key == kVerboseKey) {
        KelLogger::setVerbose(value == QLatin1String("1"));
    }
}

bool Settings::boolValue(const QString &group, const QString &key) {
    return value(group, key) == QLatin1String("1");
}

void Settings::setBoolValue(const QString &group, const QString &key, bool value) {
    setValue(group, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

int Settings::intValue(const QString &group, const QString &key) {
    bool ok = false;
    const int number = value(group, key).toInt(&ok, 10);
    return ok ? number : 0;
}

void Settings::setIntValue(const QString &group, const QString &key, int value) {
    setValue(group, key, QString::number(value));
}

bool Settings::lastWriteOk() {
    QMutexLocker locker(&m_lock);
    return m_writeOk;
}

QString Settings::imagePath() {
    return value(kCommon, QStringLiteral("image_path"));
}

void Settings::setImagePath(const QString &path) {
    setValue(kCommon, QStringLiteral("image_path"), path);
}

QString Settings::selectedParts() {
    return value(kCommon, QStringLiteral("selected_parts"));
}

void Settings::setSelectedParts(const QString &parts) {
    setValue(kCommon, QStringLiteral("selected_parts"), parts);
}

bool Settings::isDbInited() {
    return boolValue(kSystem, QStringLiteral("db_inited"));
}

void Settings::setDbInited() {
    setBoolValue(kSystem, QStringLiteral("db_inited"), true);
}

bool Settings::autoBurn() {
    return boolValue(kDebug, QStringLiteral("auto_burn"));
}

void Settings::setAutoBurn(bool on) {
    setBoolValue(kDebug, QStringLiteral("auto_burn"), on);
}

bool Settings::verifyChecksum() {
    return boolValue(kDebug, QStringLiteral("verify_crc"));
}

void Settings::setVerifyChecksum(bool on) {
    setBoolValue(kDebug, QStringLiteral("verify_crc"), on);
}

bool Settings::checkImageCrc() {
    return boolValue(kDebug, QStringLiteral("check_crc"));
}

void Settings::setCheckImageCrc(bool on) {
    setBoolValue(kDebug, QStringLiteral("check_crc"), on);
}

bool Settings::showStatistic() {
    return boolValue(kDebug, QStringLiteral("show_statistic"));
}

void Settings::setShowStatistic(bool on) {
    setBoolValue(kDebug, QStringLiteral("show_statistic"), on);
}

QString Settings::language() {
    return value(kUi, kLanguageKey).trimmed() == QLatin1String("en") ? QStringLiteral("en")
                                                                     : QStringLiteral("zh");
}

void Settings::setLanguage(const QString &language) {
    setValue(kUi, kLanguageKey,
             language == QLatin1String("en") ? QStringLiteral("en") : QStringLiteral("zh"));
}

bool Settings::isVerbose() {
    return boolValue(kDebug, kVerboseKey);
}

void Settings::setVerbose(bool on) {
    setBoolValue(kDebug, kVerboseKey, on);
}

int Settings::retryCount() {
    return intValue(kDebug, QStringLiteral("retry_cnt"));
}

void Settings::setRetryCount(int count) {
    setIntValue(kDebug, QStringLiteral("retry_cnt"), count);
}

// ---------------------------------------------------------------------------

QString HistoryList::filePath() {
    return QDir::current().absoluteFilePath(kHistoryFile);
}

bool HistoryList::load() {
    QFile file(filePath());
    // A station that has not chosen an image yet has no file: an empty history.
    if (!file.exists()) {
        return true;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qCritical() << "Open img history failed!";
        return false;
    }
    QTextStream in(&file);
    in.setCodec("UTF-8");
    QString line;
    while (in.readLineInto(&line)) {
        // A path with a comma of its own gives three parts and is dropped.
        const QStringList parts = line.trimmed().split(QLatin1Char(','));
        if (parts.size() != 2) {
            continue;
        }
        m_list.append(HistoryRecord{parts.at(0).trimmed(), parts.at(1).trimmed()});
    }
    return true;
}

bool HistoryList::save() const {
    QSaveFile file(filePath());
    // Written aside and renamed over the old file, so a full disk keeps the old
    // history; a directory that allows no new file still gets the file rewritten.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qWarning() << "Save img history failed:" << file.errorString();
        return false;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");
    for (const HistoryRecord &record : m_list) {
        out << record.path << ", " << record.time << "\n";
    }
    out.flush();
    if (out.status() != QTextStream::Ok || !file.commit()) {
        qWarning() << "Save img history failed:" << file.errorString();
        return false;
    }
    return true;
}

void HistoryList::add(const HistoryRecord &record) {
    auto found = std::find_if(m_list.begin(), m_list.end(),
                              [&](const HistoryRecord &r) { return r.path == record.path; });
    if (found != m_list.end()) {
        found->time = record.time;
    } else {
        m_list.append(record);
    }
    // The time format sorts chronologically as text.
    std::stable_sort(m_list.begin(), m_list.end(), [](const HistoryRecord &a, const HistoryRecord &b) {
        return a.time > b.time;
    });
}

void HistoryList::clear() {
    m_list.clear();
}
