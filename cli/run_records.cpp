#include "run_records.h"

#include <cstring>

#include "fleetsettings.h"
#include "recordwriter.h"
#include "settings.h"

namespace {

// How long the end of a run waits for the database before leaving the rest
// in the spool: long enough for a server that answers, short enough that a
// station is not held up by one that does not.
constexpr int kFinishWaitMs = 3000;

}  // namespace

RunRecords::RunRecords() = default;
RunRecords::~RunRecords() = default;

int RunRecords::takeOption(int argc, char **argv, int *i, QString *error) {
    const char *arg = argv[*i];
    for (const char *name : {"--db", "--operator"}) {
        const size_t n = strlen(name);
        if (strncmp(arg, name, n) != 0 || (arg[n] != '\0' && arg[n] != '='))
            continue;
        QString value;
        if (arg[n] == '=') {
            value = QString::fromLocal8Bit(arg + n + 1);
        } else if (*i + 1 < argc) {
            value = QString::fromLocal8Bit(argv[++*i]);
        } else {
            *error = QStringLiteral("%1 needs a value").arg(QLatin1String(name));
            return -1;
        }
        if (value.isEmpty()) {
            *error = QStringLiteral("%1 needs a value").arg(QLatin1String(name));
            return -1;
        }
        (name[2] == 'd' ? m_dbUrl : m_operator) = value;
        return 1;
    }
    return 0;
}

bool RunRecords::open(QString *error) {
    Settings &settings = Settings::instance();
    m_writer = openRecordWriter(settings, m_dbUrl, error);
    if (!m_writer)
        return false;
    m_facts = stationFacts(settings, m_operator);
    return true;
}

void RunRecords::submit(const BoardRecord &record) {
    if (m_writer)
        m_writer->submit(record);
}

int RunRecords::finish() {
    if (!m_writer)
        return -1;
    m_writer->flush(kFinishWaitMs);
    const int waiting = m_writer->waitingCount();
    // The destructor puts what is still in memory into the spool.
    m_writer.reset();
    return waiting;
}

QString RunRecords::waitingText(int waiting) {
    if (waiting <= 0)
        return QString();
    return waiting == 1 ? QStringLiteral("1 board record waits in the spool for the fleet database")
                        : QStringLiteral("%1 board records wait in the spool for the fleet "
                                         "database")
                              .arg(waiting);
}
