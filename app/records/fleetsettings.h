// The station's [fleet] settings in KelFlash.ini and what follows from them:
//   [fleet]
//   station=LINE1-ST3                                  (default: the host name)
//   operator=alice                                     (default: the login name)
//   database=postgresql://kelflash@db.line1:5432/kelfleet (default: data.db)
#pragma once

#include <QString>

#include <memory>

#include "boardrecord.h"
#include "recordtarget.h"

class Settings;
class RecordWriter;

struct FleetSettings {
    QString station;
    QString operatorName;
    QString database;
};

FleetSettings readFleetSettings(Settings &settings);

// The station's facts for its records; a non-empty `operatorOverride`
// (--operator) wins over the setting.
StationFacts stationFacts(Settings &settings, const QString &operatorOverride = QString());

// This program's version as records carry it.
QString recordProgramVersion();

// The counters' SQLite file, where records are kept unless a fleet database is
// set, and the spool beside it.
QString defaultRecordsPath();  // "data.db" in the current directory, absolute
QString spoolPathFor(const QString &recordsPath);

// Where records go: `dbUrl` (--db) when given, else [fleet] database, else
// data.db. False with a message when the URL does not parse.
bool recordTargetFor(Settings &settings, const QString &dbUrl, RecordTarget *target,
                     QString *error);

// A writer for the settings or `dbUrl`, its spool beside data.db; null with a
// message when the URL does not parse. The caller owns it (one per process).
std::unique_ptr<RecordWriter> openRecordWriter(Settings &settings, const QString &dbUrl,
                                               QString *error);
