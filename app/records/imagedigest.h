// SHA-256 of image files, computed once per file and reused while the file's
// size and modification time stay the same. Thread-safe: burns on several
// boards may ask for the same image at once.
#pragma once

#include <QString>

namespace ImageDigest {
// Lowercase hex, or an empty text with the reason in `error` when the file
// cannot be read.
QString sha256(const QString &path, QString *error = nullptr);
// How many files were read whole so far (the cache's misses).
int computedCount();
void clearCache();
}  // namespace ImageDigest
