#include "recordschema.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {
// pg_advisory_xact_lock key: "kelrec" with the schema's table as the last part,
// so no other program's lock on the same database is likely to meet it.
constexpr qint64 kMigrationLockKey = 0x6b656c7265630001LL;

struct Migration {
    int version;
    QStringList sqlite;
    QStringList postgres;
};

QStringList indexes() {
    return {
        QStringLiteral("CREATE INDEX board_record_day ON board_record (station_day)"),
        QStringLiteral("CREATE INDEX board_record_station_day ON board_record (station, "
                       "station_day)"),
        QStringLiteral("CREATE INDEX board_record_image_day ON board_record (image_name, "
                       "station_day)"),
        QStringLiteral("CREATE INDEX board_record_board ON board_record ((%1), started_utc)")
            .arg(boardKeyExpression()),
    };
}

const QList<Migration> &migrations() {
    static const QList<Migration> list = [] {
        QList<Migration> l;
        // 1: the records. Times are ISO 8601 texts on SQLite (sortable as
        // text), timestamptz on PostgreSQL; the id is text on both so that the
        // board key's COALESCE reads the same in both dialects.
        const QString sqliteTable = QStringLiteral(
            "CREATE TABLE board_record ("
            " record_id TEXT PRIMARY KEY NOT NULL,"
            " started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL,"
            " utc_offset_s INTEGER NOT NULL, station_day TEXT NOT NULL,"
            " station TEXT NOT NULL, operator TEXT NOT NULL, program_version TEXT NOT NULL,"
            " job_kind TEXT NOT NULL, link TEXT NOT NULL, location TEXT, board_info TEXT,"
            " chip_id TEXT, serial_number TEXT, card_vendor TEXT, card_product TEXT,"
            " card_size INTEGER, card_identity TEXT, image_path TEXT, image_name TEXT,"
            " image_size INTEGER, image_platform TEXT, image_product TEXT, image_version TEXT,"
            " image_sha256 TEXT, components TEXT, bytes_written INTEGER NOT NULL,"
            " duration_ms INTEGER NOT NULL, retries INTEGER NOT NULL, result TEXT NOT NULL,"
            " failure_code TEXT, failure_message TEXT, failed_component TEXT)");
        const QString pgTable = QStringLiteral(
            "CREATE TABLE board_record ("
            " record_id text PRIMARY KEY,"
            " started_utc timestamptz NOT NULL, ended_utc timestamptz NOT NULL,"
            " utc_offset_s integer NOT NULL, station_day date NOT NULL,"
            " station text NOT NULL, operator text NOT NULL, program_version text NOT NULL,"
            " job_kind text NOT NULL, link text NOT NULL, location text, board_info text,"
            " chip_id text, serial_number text, card_vendor text, card_product text,"
            " card_size bigint, card_identity text, image_path text, image_name text,"
            " image_size bigint, image_platform text, image_product text, image_version text,"
            " image_sha256 text, components text, bytes_written bigint NOT NULL,"
            " duration_ms bigint NOT NULL, retries integer NOT NULL, result text NOT NULL,"
            " failure_code text, failure_message text, failed_component text)");
        l.append({1, QStringList{sqliteTable} + indexes(), QStringList{pgTable} + indexes()});
        // 2: the report reads every burn's board, start, day, station, image
        // and result in the order of the board key, and asks the same index
        // whether a board has a success: with those columns in the index
        // (PostgreSQL reads an expression index alone only when the columns
        // of the expression are in it too) both are index-only scans. The
        // narrow index of 1 is a prefix of this one and goes. The failed
        // burns (a few percent) get a small index of their own, so that the
        // list of failed boards reads them alone instead of the whole table.
        // Together about a quarter of the report's server time on a million
        // records. SQLite has no INCLUDE and its report reads the table
        // anyway: nothing changes there.
        l.append({2, QStringList{},
                  QStringList{
                      QStringLiteral("DROP INDEX IF EXISTS board_record_board"),
                      QStringLiteral("CREATE INDEX board_record_board ON board_record ((%1), "
                                     "started_utc) INCLUDE (job_kind, result, station_day, "
                                     "station, image_name, serial_number, chip_id, record_id)")
                          .arg(boardKeyExpression()),
                      QStringLiteral("CREATE INDEX board_record_failed ON board_record ((%1), "
                                     "started_utc) INCLUDE (station_day, station, image_name, "
                                     "result, failure_code, failure_message, serial_number, "
                                     "chip_id, record_id) WHERE job_kind = 'burn' AND result <> "
                                     "'ok'")
                          .arg(boardKeyExpression()),
                  }});
        return l;
    }();
    return list;
}

bool exec(QSqlDatabase &db, const QString &sql, QString *error, QSqlQuery *out = nullptr) {
    QSqlQuery q(db);
    if (!q.exec(sql)) {
        if (error)
            *error = sqlErrorText(q.lastError());
        return false;
    }
    if (out)
        *out = q;
    return true;
}
}  // namespace

QString sqlErrorText(const QSqlError &e) {
    // The server's own words when there are any; the driver's line after them
    // ("QPSQL: Unable to connect") says nothing more.
    QString text = e.databaseText().trimmed();
    if (text.isEmpty())
        text = e.driverText().trimmed();
    return text.simplified();
}

const QStringList &recordColumns() {
    static const QStringList cols{
        "record_id",      "started_utc",    "ended_utc",     "utc_offset_s",
        "station_day",    "station",        "operator",      "program_version",
        "job_kind",       "link",           "location",      "board_info",
        "chip_id",        "serial_number",  "card_vendor",   "card_product",
        "card_size",      "card_identity",  "image_path",    "image_name",
        "image_size",     "image_platform", "image_product", "image_version",
        "image_sha256",   "components",     "bytes_written", "duration_ms",
        "retries",        "result",         "failure_code",  "failure_message",
        "failed_component"};
    return cols;
}

QString boardKeyExpression() {
    return QStringLiteral("COALESCE(NULLIF(serial_number, ''), NULLIF(chip_id, ''), record_id)");
}

int latestRecordSchemaVersion() {
    return migrations().last().version;
}

int recordSchemaVersion(QSqlDatabase &db) {
    if (!db.tables().contains(QStringLiteral("schema_version")))
        return 0;
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT COALESCE(MAX(version), 0) FROM schema_version")) ||
        !q.next())
        return -1;
    return q.value(0).toInt();
}

bool migrateRecordSchema(QSqlDatabase &db, SqlDialect dialect, QString *error) {
    const bool pg = dialect == SqlDialect::Postgres;
    for (const Migration &m : migrations()) {
        // SQLite: IMMEDIATE takes the write lock before the version is read, so
        // a second program waits instead of reading a version about to change.
        if (!exec(db, pg ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"), error))
            return false;
        auto rollback = [&db] { QSqlQuery(db).exec(QStringLiteral("ROLLBACK")); };
        if (pg && !exec(db,
                        QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kMigrationLockKey),
                        error)) {
            rollback();
            return false;
        }
        // The server's notice that the table is there already is noise in
        // every station's log.
        if (pg && !exec(db, QStringLiteral("SET LOCAL client_min_messages = warning"), error)) {
            rollback();
            return false;
        }
        if (!exec(db,
                  QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER "
                                 "NOT NULL)"),
                  error)) {
            rollback();
            return false;
        }
        QSqlQuery q;
        if (!exec(db, QStringLiteral("SELECT COALESCE(MAX(version), 0) FROM schema_version"),
                  error, &q) ||
            !q.next()) {
            rollback();
            return false;
        }
        const int current = q.value(0).toInt();
        q.finish();
        if (current >= m.version) {
            if (!exec(db, QStringLiteral("COMMIT"), error))
                return false;
            continue;
        }
        for (const QString &sql : pg ? m.postgres : m.sqlite) {
            if (!exec(db, sql, error)) {
                if (error)
                    *error = QStringLiteral("migration %1 failed: %2").arg(m.version).arg(*error);
                rollback();
                return false;
            }
        }
        if (!exec(db, QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)")
                          .arg(m.version),
                  error) ||
            !exec(db, QStringLiteral("COMMIT"), error)) {
            rollback();
            return false;
        }
    }
    return true;
}
