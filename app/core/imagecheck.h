// Checks an image file without any board: its SHA-256 against the one the
// operator expects, and each component's data against the CRC-32 its record
// carries. Both come from one read of the file, whatever is asked.
//
// The record's CRC is the image maker's checksum; CRC-32 is what our packer
// writes there, but another maker may use another algorithm, so that
// comparison is only made on request.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>

class ImageFile;
struct FwcMeta;

class ImageCheck {
public:
    struct Component {
        QString name;
        quint32 recorded = 0;  // the record's CRC field
        quint32 computed = 0;  // CRC-32 of the component's data in the file
        bool complete = true;  // all of its data lies inside the file
        bool differs() const { return !complete || computed != recorded; }
    };

    // The SHA-256 (32 bytes) the file must have; none: not compared.
    void setExpectedSha256(const QByteArray &digest) { m_expected = digest; }
    // Compare every component's data with its record's CRC as CRC-32.
    void setCheckCrc(bool on) { m_crcWanted = on; }
    // Compute the SHA-256 even without one to compare it with.
    void setComputeSha256(bool on) { m_shaWanted = on; }
    // Anything to do at all.
    bool isNeeded() const { return m_crcWanted || m_shaWanted || !m_expected.isEmpty(); }

    // Called with the bytes read so far; false stops the check (a read failure).
    void setProgress(std::function<bool(quint64 done, quint64 total)> f) {
        m_progress = std::move(f);
    }

    // Reads the image once. The header must be loaded (for the records). True
    // when the file could be read; whether it passed is intact().
    bool run(ImageFile &image);
    // The same on a path and records of one's own.
    bool run(const QString &path, const FwcMeta *metas, quint32 count);

    // Read, and every comparison asked for matched.
    bool intact() const { return m_read && !shaDiffers() && crcMismatches().isEmpty(); }
    // Why the file could not be read (empty after a successful read).
    QString readError() const { return m_error; }

    QByteArray sha256() const { return m_digest; }
    bool shaDiffers() const { return !m_expected.isEmpty() && m_digest != m_expected; }
    // Every component, in image order (after a run with the CRC comparison).
    const QVector<Component> &components() const { return m_comps; }
    // The names of the components whose data differs from their record.
    QStringList crcMismatches() const;

    // 64 hexadecimal digits (either case) as 32 bytes; empty for anything else.
    static QByteArray parseSha256(const QString &hex);

private:
    bool fail(const QString &why);

    QByteArray m_expected;
    bool m_crcWanted = false;
    bool m_shaWanted = false;
    std::function<bool(quint64, quint64)> m_progress;

    bool m_read = false;
    QString m_error;
    QByteArray m_digest;
    QVector<Component> m_comps;
};
