// Whole-disk access for the SD-card features: opening a disk by its number or a
// file by its path, finding and unmounting the file systems on a disk, reading
// and writing whole sectors, the geometry and the properties of a disk. These
// are plain operations without state; the platform's code lives in
// diskaccess_<platform>.cpp. Every failing system call logs one line through
// reportSystemError and returns the failure value; the callers decide what the
// failure means.
//
// Disk numbers come from the process-wide DiskRegistry: number 0 is the disk
// that holds the running system, which is never opened for writing.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

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

// Logs "<operation> error: <system text> Code: <code>" at critical level for the
// calling thread's last error.
void reportSystemError(const char *operation);

// A file: Read opens an existing one; ReadWrite creates it, or empties it.
DiskHandle openFileHandle(const QString &path, DiskAccess access);
// The disk of that number. With `report` cleared a failure logs nothing (a scan
// probes disks that may have gone). A system disk is refused for writing before
// anything is opened (the last error is then EPERM).
//
// The name is not trusted: a link is never followed, and the open handle must
// be the disk or file that was listed (DiskRegistry::identity), or it is closed
// again with the last error ESTALE. For writing, a disk is had exclusively:
// the system refuses that while a file system, a swap area, a device-mapper or
// md volume, or another writer holds the disk or one of its partitions (EBUSY),
// and a write-protected disk is refused (EROFS) before anything else is tried.
DiskHandle openDiskHandle(int diskNumber, DiskAccess access, bool report);
// What a card job does to have the card: refuses a write-protected card,
// unmounts the card's own file systems (one that cannot be unmounted fails
// with its mount point and the reason), then opens it exclusively for writing.
// Every failure is logged, and nothing has been written.
DiskHandle openDiskForWriting(int diskNumber);
void closeDiskHandle(DiskHandle handle);
// True when the last open failed for lack of rights (the caller's cue to say
// how to get them).
bool lastErrorIsAccessDenied();
// The last open failed because the disk is write-protected, is held by
// something else, or is no longer the disk that was listed.
bool lastErrorIsWriteProtected();
bool lastErrorIsBusy();
bool lastErrorIsChanged();
// Whether the disk of that number is read-only (the lock switch of an SD card,
// a read-only loop device); false when it cannot be told.
bool isDiskWriteProtected(int diskNumber);

// The node of the disk's first partition, waiting a little for the system to
// create it after a new table; false when there is none.
bool findVolumeOfDisk(int diskNumber, QString *volume);
// Unmounts every mounted file system on the disk's partitions (and on the disk
// itself). False, with the mount point and the reason logged, when one could
// not be unmounted.
bool dismountDiskVolumes(int diskNumber);

// count sectors from `first`; past the end of a file the rest reads as zero
// bytes. ok (if given) is false after a failed read, and the buffer is empty.
QByteArray readSectors(DiskHandle handle, quint64 first, quint64 count, quint64 sectorSize,
                       bool *ok = nullptr);
// The same into the caller's buffer, resized to fit; for loops that read
// chunk after chunk.
bool readSectorsInto(DiskHandle handle, QByteArray *buffer, quint64 first, quint64 count,
                     quint64 sectorSize);
// Every byte must be written: a short write is a failure.
bool writeSectors(DiskHandle handle, const char *data, quint64 first, quint64 count,
                  quint64 sectorSize);
// writeSectors up to 3 times.
bool writeSectorsRetry(DiskHandle handle, const char *data, quint64 first, quint64 count,
                       quint64 sectorSize);
// Makes every write so far durable on the disk.
bool flushDisk(DiskHandle handle);
// The disk's size in sectors (0 on failure, sectorSize then untouched); a file
// counts in 512-byte sectors.
quint64 diskSectorCount(DiskHandle handle, quint64 *sectorSize);
// True when the handle reaches a medium that can hold data (a card reader
// without a card does not).
bool isDiskMedia(DiskHandle handle);
// Properties of the disk of that number; false (silently) when it is gone.
bool queryDeviceProperties(int diskNumber, DiskProperties *properties);
