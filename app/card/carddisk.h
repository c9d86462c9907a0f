// The card the operator selected: its disk as listed, and the image mark that
// every card made by this program carries in the first 200 bytes of sector 0
// (the image header's magic, platform, product and version fields), so that a
// card can be told apart by the image it holds. The rest of sector 0 (the
// protective MBR's table and the 0x55AA marker) is never touched by the mark.
#pragma once

#include <QString>
#include <QtGlobal>

#include "diskaccess.h"

class ImageFile;

class CardDisk {
public:
    static constexpr int kMarkSize = 200;

    // Number 0 is the system's own disk and negative numbers stand for nothing;
    // both are refused with a warning.
    static bool checkDiskNumber(int number);

    // Takes the disk only when its number passes the check.
    bool setDisk(const DiskNode &disk);
    const DiskNode &disk() const { return node; }
    int diskNumber() const { return node.number; }

    // False only when the number is refused or the disk cannot be opened for
    // writing for lack of rights; another failure to open is the job's to report.
    bool checkAdmin() const;

    bool hasImageMark() const { return hasMark; }
    // Reads sector 0; the flag tells whether it carries a mark.
    bool readImageMark();
    // Writes the image's mark into sector 0 and keeps a copy. The flag keeps its
    // value: only reading a card proves what is on it.
    bool writeImageMark(ImageFile *image);
    // The same through a handle the caller has open for writing on this card
    // (the job's own, so that the mark goes where the data went).
    bool writeImageMark(ImageFile *image, int handle);
    // The mark read last names this image (platform, product and version, case
    // and all).
    bool isSameImage(ImageFile *image) const;

    // Null texts without a mark.
    QString markPlatform() const;
    QString markProduct() const;
    QString markVersion() const;

private:
    QString markText(int offset) const;

    DiskNode node;
    bool hasMark = false;
    char mark[kMarkSize] = {};
};
