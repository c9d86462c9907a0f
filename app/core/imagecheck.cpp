#include "imagecheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <openssl/evp.h>
#include <zlib.h>

#include "image.h"
#include "imagefile.h"
#include "pathcodec.h"

namespace {

// Large enough that the hashing, not the calls, sets the pace.
constexpr size_t kReadChunk = 4 << 20;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

struct DigestFree {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};

}  // namespace

bool ImageCheck::fail(const QString &why) {
    m_error = why;
    return false;
}

QStringList ImageCheck::crcMismatches() const {
    QStringList names;
    for (const Component &c : m_comps) {
        if (c.differs())
            names << c.name;
    }
    return names;
}

QByteArray ImageCheck::parseSha256(const QString &hex) {
    const QString t = hex.trimmed();
    if (t.size() != 64)
        return QByteArray();
    for (QChar c : t) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
              (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return QByteArray();
    }
    return QByteArray::fromHex(t.toLatin1());
}

bool ImageCheck::run(ImageFile &image) {
    const FwcMeta *metas = m_crcWanted ? image.meta() : nullptr;
    if (m_crcWanted && !metas && image.fwcCount() != 0) {
        m_read = false;
        m_comps.clear();
        return fail(QStringLiteral("the component records of %1 cannot be read").arg(image.path()));
    }
    return run(image.path(), metas, metas ? image.fwcCount() : 0);
}

bool ImageCheck::run(const QString &path, const FwcMeta *metas, quint32 count) {
    m_read = false;
    m_error.clear();
    m_digest.clear();
    m_comps.clear();

    const char *why = nullptr;
    std::unique_ptr<FILE, FileCloser> file(image_file_open(libraryPath(path).constData(), &why));
    if (!file)
        return fail(QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(why)));
    // The end of a block device is its size, as for a file.
    const off_t end = fseeko(file.get(), 0, SEEK_END) == 0 ? ftello(file.get()) : off_t(-1);
    if (end < 0 || fseeko(file.get(), 0, SEEK_SET) != 0)
        return fail(QStringLiteral("cannot read %1: %2")
                        .arg(path, QString::fromLocal8Bit(strerror(errno))));
    const quint64 fileBytes = quint64(end);

    // Only as far as a component reaches, unless the whole file is hashed.
    const bool hashing = m_shaWanted || !m_expected.isEmpty();
    quint64 upTo = hashing ? fileBytes : 0;
    QVector<uLong> crcs;
    if (m_crcWanted) {
        m_comps.resize(int(count));
        crcs.fill(crc32(0L, Z_NULL, 0), int(count));
        for (quint32 i = 0; i < count; ++i) {
            Component &c = m_comps[int(i)];
            c.name = QString::fromLocal8Bit(metas[i].name,
                                            int(strnlen(metas[i].name, sizeof(metas[i].name))));
            c.recorded = metas[i].crc;
            const quint64 stop = quint64(metas[i].offset) + metas[i].size;
            c.complete = stop <= fileBytes;
            upTo = qMax(upTo, qMin(stop, fileBytes));
        }
    }

    std::unique_ptr<EVP_MD_CTX, DigestFree> sha(hashing ? EVP_MD_CTX_new() : nullptr);
    if (hashing && (!sha || EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1))
        return fail(QStringLiteral("cannot compute a SHA-256"));
    std::unique_ptr<unsigned char[]> bufs[2] = {
        std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[kReadChunk]),
        std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[kReadChunk])};
    if (!bufs[0] || !bufs[1])
        return fail(QStringLiteral("out of memory"));

    // Reads the chunk at `at` into `into`; false with `readWhy` on a short read.
    QString readWhy;
    auto readChunk = [&](unsigned char *into, quint64 at, size_t *got) {
        const size_t want = size_t(qMin<quint64>(kReadChunk, upTo - at));
        *got = fread(into, 1, want, file.get());
        if (*got == want)
            return true;
        readWhy = QStringLiteral("cannot read %1 at byte %2: %3")
                      .arg(path)
                      .arg(at + *got)
                      .arg(ferror(file.get()) ? QString::fromLocal8Bit(strerror(errno))
                                              : QStringLiteral("the file ends early"));
        return false;
    };
    // Components are found by their offsets, so they may lie in any order or
    // overlap: each takes its share of every chunk it touches.
    auto crcChunk = [&](const unsigned char *data, quint64 at, size_t n) {
        for (quint32 i = 0; i < count && m_crcWanted; ++i) {
            const quint64 from = qMax<quint64>(metas[i].offset, at);
            const quint64 to = qMin<quint64>(quint64(metas[i].offset) + metas[i].size, at + n);
            if (from < to)
                crcs[int(i)] = crc32(crcs[int(i)], data + (from - at), uInt(to - from));
        }
    };

    // The SHA-256 sets the pace: while it hashes one chunk, a second thread
    // computes that chunk's CRCs and reads the next one.
    quint64 pos = 0;
    size_t got = 0;
    int cur = 0;
    if (upTo > 0 && !readChunk(bufs[cur].get(), 0, &got))
        return fail(readWhy);
    while (pos < upTo) {
        const quint64 next = pos + got;
        size_t nextGot = 0;
        bool nextRead = true;
        std::thread helper([&] {
            crcChunk(bufs[cur].get(), pos, got);
            if (next < upTo)
                nextRead = readChunk(bufs[1 - cur].get(), next, &nextGot);
        });
        const bool hashed = !sha || EVP_DigestUpdate(sha.get(), bufs[cur].get(), got) == 1;
        helper.join();
        if (!hashed)
            return fail(QStringLiteral("cannot compute a SHA-256"));
        if (!nextRead)
            return fail(readWhy);
        pos = next;
        got = nextGot;
        cur = 1 - cur;
        if (m_progress && !m_progress(pos, upTo))
            return fail(QStringLiteral("stopped"));
    }

    if (sha) {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        if (EVP_DigestFinal_ex(sha.get(), md, &n) != 1)
            return fail(QStringLiteral("cannot compute a SHA-256"));
        m_digest = QByteArray(reinterpret_cast<const char *>(md), int(n));
    }
    for (int i = 0; i < m_comps.size(); ++i)
        m_comps[i].computed = quint32(crcs[i]);
    m_read = true;
    return true;
}
