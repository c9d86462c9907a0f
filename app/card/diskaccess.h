// Whole-disk access for the SD-card features: opening a disk by its node or a
// file by its path, finding and unmounting the file systems on a disk, reading
// and writing whole sectors, the geometry and the properties of a disk. These
// are plain operations without state; the platform's code lives in
// diskaccess_<platform>.cpp. Every failing system call logs one line through
// reportSystemError and returns the failure value; where the caller passes a
// `Failure *why`, the reason is also given back as a value (the first one of
// an operation: what fails after it are its consequences), so that whoever
// reports the failure never has to read it back from the log.
//
// A disk is taken by its node and the identity it had when it was listed
// (DiskNode); the system's own disks are never opened for writing.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include "failure.h"

// An open disk or file; kInvalidDisk when none. The caller that opened it owns
// it and closes it with closeDiskHandle.
using DiskHandle = int;
constexpr DiskHandle kInvalidDisk = -1;

enum class DiskAccess {
    Query,      // properties and geometry only
    Read,
    ReadWrite,
};

// What the card list shows of a disk.
struct DiskProperties {
    bool removable = false;
    QString vendor;
    QString model;
    // The bus as the card tab names it: usb 7, ata 3, sata 11, sd 12, mmc 13,
    // virtual 14, nvme 17, scsi 1, unknown 0.
    int busType = 0;
};

// A disk as it was listed: its node (/dev/sdb) or a card image file's
// absolute path, and what stood there then (diskplatform's identityOf or
// fileIdentityOf). An open handle is checked against the identity, so that a
// card changed since (another medium, another loop attachment, another file
// under the name) is not taken for it.
struct DiskNode {
    QString path;
    QString identity;
    bool file = false;
    // The number the card list shows, for texts and the list's item data only:
    // nothing is looked up by it. 0 is the disk of the running system.
    int number = -1;

    bool isValid() const { return !path.isEmpty(); }
};

// The disk under that node or the file at that path as it is now, without a
// number; invalid when it is neither a whole disk nor a regular file.
DiskNode diskNodeOf(const QString &path);
// False for a disk that holds a mounted system file system (/, /boot,
// /boot/efi, /usr, /var) or an active swap area, asked anew each time, and
// for an invalid node.
bool mayWriteDisk(const DiskNode &disk);

// The calling thread's last error as "<operation> error: <system text> Code:
// <code>".
Failure systemFailure(const char *operation, Failure::Code code = Failure::DiskIo);
// Logs systemFailure() at critical level and returns it.
Failure reportSystemError(const char *operation, Failure::Code code = Failure::DiskIo);
// Keeps `failure` in *why unless a reason is kept there already (or why is
// null). Returns false, for `return keepFailure(...)`.
bool keepFailure(Failure *why, const Failure &failure);

// A file: Read opens an existing one; ReadWrite creates it, or empties it.
DiskHandle openFileHandle(const QString &path, DiskAccess access, Failure *why = nullptr);
// The disk. With `report` cleared a failure logs nothing (a scan probes disks
// that may have gone); *why gets the reason either way. A system disk is
// refused for writing before anything is opened (the last error is then
// EPERM).
//
// The name is not trusted: a link is never followed, and the open handle must
// be the disk or file that was listed (DiskNode::identity), or it is closed
// again with the last error ESTALE (CardChanged). For writing, a disk is had
// exclusively: the system refuses that while a file system, a swap area, a
// device-mapper or md volume, or another writer holds the disk or one of its
// partitions (EBUSY, CardInUse), and a write-protected disk is refused (EROFS,
// CardUnavailable) before anything else is tried.
DiskHandle openDiskHandle(const DiskNode &disk, DiskAccess access, bool report,
                          Failure *why = nullptr);
// What a card job does to have the card: refuses a write-protected card,
// unmounts the card's own file systems (one that cannot be unmounted fails
// with its mount point and the reason), then opens it exclusively for writing.
// Every failure is logged and given back in *why, and nothing has been written.
DiskHandle openDiskForWriting(const DiskNode &disk, Failure *why = nullptr);
void closeDiskHandle(DiskHandle handle);
// True when the last open failed for lack of rights (the caller's cue to say
// how to get them).
bool lastErrorIsAccessDenied();
// Whether the disk is read-only (the lock switch of an SD card, a read-only
// loop device); false when it cannot be told.
bool isDiskWriteProtected(const DiskNode &disk);

// The node of the disk's first partition, waiting a little for the system to
// create it after a new table; false when there is none.
bool findVolumeOfDisk(const DiskNode &disk, QString *volume);
// Unmounts every mounted file system on the disk's partitions (and on the disk
// itself). False, with the mount point and the reason logged (and in *why),
// when one could not be unmounted.
bool dismountDiskVolumes(const DiskNode &disk, Failure *why = nullptr);

// count sectors from `first`; past the end of a file the rest reads as zero
// bytes. ok (if given) is false after a failed read, and the buffer is empty.
QByteArray readSectors(DiskHandle handle, quint64 first, quint64 count, quint64 sectorSize,
                       bool *ok = nullptr, Failure *why = nullptr);
// The same into the caller's buffer, resized to fit; for loops that read
// chunk after chunk.
bool readSectorsInto(DiskHandle handle, QByteArray *buffer, quint64 first, quint64 count,
                     quint64 sectorSize, Failure *why = nullptr);
// Every byte must be written: a short write is a failure.
bool writeSectors(DiskHandle handle, const char *data, quint64 first, quint64 count,
                  quint64 sectorSize, Failure *why = nullptr);
// writeSectors up to 3 times.
bool writeSectorsRetry(DiskHandle handle, const char *data, quint64 first, quint64 count,
                       quint64 sectorSize, Failure *why = nullptr);
// Makes every write so far durable on the disk.
bool flushDisk(DiskHandle handle, Failure *why = nullptr);
// The disk's size in sectors (0 on failure, sectorSize then untouched); a file
// counts in 512-byte sectors.
quint64 diskSectorCount(DiskHandle handle, quint64 *sectorSize, Failure *why = nullptr);
// True when the handle reaches a medium that can hold data (a card reader
// without a card does not).
bool isDiskMedia(DiskHandle handle);
// What the system says of the disk (a file is a "File" that is not
// removable); false (silently) when it is gone.
bool queryDeviceProperties(const DiskNode &disk, DiskProperties *properties);
