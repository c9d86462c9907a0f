// The one place where a file path becomes the 8-bit text the upgrade library
// opens through its narrow file interface. Each platform has its own encoding
// (the local 8-bit encoding here, the GB2312 code page on Windows).
#pragma once

#include <QByteArray>
#include <QString>

QByteArray libraryPath(const QString &path);
