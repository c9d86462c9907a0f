#ifndef PATHLIST_H
#define PATHLIST_H

#include <QString>
#include <QStringList>

// Paths an operator names in an environment variable or a setting (extra
// serial ports, simulated cards): separated by blanks or commas.
QStringList splitPathList(const QString &text);

// One warning per path and reason for the life of the process: such lists are
// read again at every scan, and a bad entry would otherwise fill the log.
// what: the kind of entry, for example "Simulated card".
void warnOncePerPath(const char *what, const QString &path, const char *why);

#endif  // PATHLIST_H
