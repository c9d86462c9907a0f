#include "failure.h"

#include <iterator>

namespace {

// Indexed by Failure::Code; the names are part of the records and of the
// command line's JSON, so they are only ever appended to.
const char *const kNames[] = {
    "",
    "interrupted",
    "image-unreadable",
    "image-corrupt",
    "image-mismatch",
    "link-unavailable",
    "link-lost",
    "link-not-returned",
    "board-refused",
    "board-mismatch",
    "verify-failed",
    "card-unavailable",
    "card-in-use",
    "card-changed",
    "disk-io",
    "host",
    "internal",
};
static_assert(std::size(kNames) == Failure::Internal + 1, "one name per code");

}  // namespace

QString Failure::codeName(Code code) {
    const int i = int(code);
    return i >= 0 && i < int(std::size(kNames)) ? QString::fromLatin1(kNames[i]) : QString();
}

Failure::Code Failure::codeOf(const QString &name) {
    for (int i = 1; i < int(std::size(kNames)); ++i)
        if (name == QLatin1String(kNames[i]))
            return Code(i);
    return None;
}
