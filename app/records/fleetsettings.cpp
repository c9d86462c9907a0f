#include "fleetsettings.h"

#include "loginname.h"
#include "recordwriter.h"
#include "settings.h"

#include <QDir>
#include <QFileInfo>
#include <QSysInfo>

namespace {
const QString kGroup = QStringLiteral("fleet");
}

FleetSettings readFleetSettings(Settings &settings) {
    FleetSettings f;
    f.station = settings.value(kGroup, QStringLiteral("station")).trimmed();
    f.operatorName = settings.value(kGroup, QStringLiteral("operator")).trimmed();
    f.database = settings.value(kGroup, QStringLiteral("database")).trimmed();
    return f;
}

QString recordProgramVersion() {
    return QStringLiteral(KELFLASH_VERSION);
}

StationFacts stationFacts(Settings &settings, const QString &operatorOverride) {
    const FleetSettings f = readFleetSettings(settings);
    StationFacts facts;
    facts.station = f.station.isEmpty() ? QSysInfo::machineHostName() : f.station;
    facts.operatorName = !operatorOverride.trimmed().isEmpty() ? operatorOverride.trimmed()
                         : f.operatorName.isEmpty()            ? loginName()
                                                               : f.operatorName;
    facts.programVersion = recordProgramVersion();
    return facts;
}

QString defaultRecordsPath() {
    return QFileInfo(QStringLiteral("data.db")).absoluteFilePath();
}

QString spoolPathFor(const QString &recordsPath) {
    return QFileInfo(recordsPath).absoluteDir().filePath(QStringLiteral("spool.db"));
}

bool recordTargetFor(Settings &settings, const QString &dbUrl, RecordTarget *target,
                     QString *error) {
    const QString url = dbUrl.trimmed().isEmpty() ? readFleetSettings(settings).database
                                                  : dbUrl.trimmed();
    if (url.isEmpty()) {
        *target = RecordTarget::sqlite(defaultRecordsPath());
        return true;
    }
    return parseDatabaseUrl(url, target, error);
}

std::unique_ptr<RecordWriter> openRecordWriter(Settings &settings, const QString &dbUrl,
                                               QString *error) {
    RecordTarget target;
    if (!recordTargetFor(settings, dbUrl, &target, error))
        return nullptr;
    return std::make_unique<RecordWriter>(target, spoolPathFor(defaultRecordsPath()));
}
