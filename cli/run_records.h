// The board records of one command-line run: where they go (--db, the
// [fleet] settings, data.db), who made them (--operator) and, at the end, how
// many still wait in the spool for the fleet database.
#pragma once

#include <QString>
#include <memory>

#include "boardrecord.h"

class RecordWriter;

class RunRecords {
public:
    RunRecords();
    ~RunRecords();

    // Takes "--db URL", "--db=URL", "--operator NAME" and "--operator=NAME" at
    // argv[*i] (moving *i past a separate value). 1: taken; 0: not one of
    // these; -1: the value is missing (*error says so).
    int takeOption(int argc, char **argv, int *i, QString *error);

    // Starts the writer. False with a message when the database URL does not
    // parse: the run is refused before any board or card is touched.
    bool open(QString *error);
    bool isOpen() const { return bool(m_writer); }

    const StationFacts &facts() const { return m_facts; }
    // Queues a record; any thread, never waits for the database.
    void submit(const BoardRecord &record);

    // Gives the writer a few seconds to store what is queued (what it cannot
    // store waits in the spool, to be sent by a later run) and returns the
    // number of records left waiting; -1 when records are off. Call it before
    // the application object goes: the writer's thread ends its database
    // connection through the SQL driver the application loaded.
    int finish();
    // "" or the summary's sentence about records waiting in the spool.
    static QString waitingText(int waiting);

private:
    QString m_dbUrl;
    QString m_operator;
    StationFacts m_facts;
    std::unique_ptr<RecordWriter> m_writer;
};
