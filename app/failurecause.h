// What the operator is told about a failed burn: the worker's reason, as the log
// has it, turned into a short sentence in the window's language.
#pragma once

#include <QString>

// An empty reason, or one this table does not know, gives the hint to look in
// the log.
QString failureCauseText(const QString &reason);
