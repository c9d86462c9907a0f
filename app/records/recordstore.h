// One connection to a records database (SQLite file or PostgreSQL), used by
// one thread: the connection belongs to the thread that opened it.
#pragma once

#include <QList>
#include <QPair>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>

#include "boardrecord.h"
#include "recordschema.h"
#include "recordtarget.h"

class RecordStore {
public:
    // `connectionName` must be unique in the process.
    RecordStore(const RecordTarget &target, const QString &connectionName);
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    // Connects and brings the schema up to date. False with the reason.
    bool open(QString *error);
    void close();
    bool isOpen() const;
    const RecordTarget &target() const { return m_target; }
    SqlDialect dialect() const;
    QSqlDatabase database() const;

    enum class Insert { Stored, Duplicate, Failed };
    // Stores the record unless one with its id is there already.
    Insert insert(const BoardRecord &record, QString *error);
    // Stores all of them in one transaction (one commit for a burst), or none:
    // false with the reason, and the caller goes one by one.
    bool insertAll(const QList<BoardRecord> &records, QString *error);
    // Whether the server still answers (a failed statement may have been the
    // record's fault or the connection's).
    bool ping();

    // Oldest first (the order they were stored in this database; meant for the
    // spool, where rows come in the order they are written). Empty with
    // `error` set on failure.
    QList<BoardRecord> oldest(int limit, QString *error);
    bool remove(const QString &recordId, QString *error);
    // Removes them in one transaction, or none.
    bool removeAll(const QStringList &recordIds, QString *error);
    // Rows in the table, -1 on failure.
    qint64 count(QString *error = nullptr);
    // Every record matching `where` (SQL, may be empty), by start time.
    QList<BoardRecord> records(const QString &where = QString(), QString *error = nullptr);

private:
    bool inTransaction(const std::function<bool(QString *)> &body, QString *error);
    BoardRecord read(const class QSqlQuery &q) const;

    RecordTarget m_target;
    QString m_connection;
};

// The text SQLite keeps for a time: ISO 8601 UTC with milliseconds.
QString recordTimeText(const QDateTime &t);
