// Reads a bring-up card back and compares it with the image it was made from:
// every component at each partition it was written to, sector by sector, and
// the GPT against the image's partition list. A card that fails says where.
#pragma once

#include <QString>
#include <functional>

#include "diskaccess.h"

class ImageFile;

// `progress` gets the bytes compared so far after every chunk; when it returns
// false the comparison stops there (*why: "interrupted"). On a mismatch *why
// names the component, the partition and the first differing byte.
bool verifyBringupCard(ImageFile *image, const DiskNode &disk,
                       const std::function<bool(quint64)> &progress, QString *why);
