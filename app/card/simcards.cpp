#include "simcards.h"

#include <QFileInfo>
#include <QMutex>
#include <QSet>

#include "diskregistry.h"
#include "pathlist.h"

const char kSimCardsVariable[] = "KELFLASH_SIM_CARDS";

void declareSimulatedCards(DiskRegistry &registry) {
    // What the last call declared: a path the variable no longer names, or one
    // that is no card any more (a loop device since detached), is withdrawn.
    static QMutex lock;
    static QSet<QString> declared;
    QMutexLocker locker(&lock);
    const QSet<QString> before = declared;
    declared.clear();
    const QStringList paths = splitPathList(qEnvironmentVariable(kSimCardsVariable));
    for (const QString &path : paths) {
        const SimCardKind kind = simCardKind(path);
        if (kind == SimCardKind::None) {
            warnOncePerPath("Simulated card", path, "refused: neither a card image file nor a loop device");
            continue;
        }
        DiskProperties card;
        card.removable = true;
        card.vendor = QStringLiteral("KelSim");
        card.model = QStringLiteral("SD Card");
        card.busType = 14;  // "Virtual"
        // The registry knows a loop device by its node, not by a link to it.
        const QString where = kind == SimCardKind::LoopDevice ? QFileInfo(path).canonicalFilePath() : path;
        if (!registry.declareCard(where, card).isValid()) {
            warnOncePerPath("Simulated card", path, "is not present");
        } else {
            declared.insert(where);
        }
    }
    for (const QString &gone : before) {
        if (!declared.contains(gone)) {
            registry.withdrawCard(gone);
        }
    }
}
