#include "boardholds.h"

void BoardHolds::hold(Kind kind, const QString &id, bool returns) {
    if (id.isEmpty()) {
        return;
    }
    for (Entry &e : entries) {
        if (e.kind == kind && e.id == id) {
            e.returning = returns;
            e.away = false;
            e.since.start();
            e.absent.invalidate();
            return;
        }
    }
    Entry e{kind, id, returns, false, QElapsedTimer(), QElapsedTimer()};
    e.since.start();
    entries.append(e);
}

void BoardHolds::seen(Kind kind, const QStringList &present) {
    for (int i = entries.size() - 1; i >= 0; --i) {
        Entry &e = entries[i];
        if (e.kind != kind) {
            continue;
        }
        if (present.contains(e.id)) {
            // Missing long enough: what is there now was put there since.
            const bool replaced = e.absent.isValid() && e.absent.hasExpired(kGoneMs);
            e.absent.invalidate();
            if (replaced && !e.returning) {
                entries.removeAt(i);
                continue;
            }
            // Back from its reset: the next departure is the operator's.
            if (e.returning && e.away) {
                e.returning = false;
            }
            continue;
        }
        if (e.returning && !e.since.hasExpired(kReturnGraceMs)) {
            e.away = true;
            continue;
        }
        if (!e.absent.isValid()) {
            e.absent.start();
        }
        if (e.absent.hasExpired(kGoneMs)) {
            entries.removeAt(i);
        }
    }
}

bool BoardHolds::isHeld(Kind kind, const QString &id) const {
    for (const Entry &e : entries) {
        if (e.kind == kind && e.id == id) {
            return true;
        }
    }
    return false;
}
