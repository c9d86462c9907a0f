#include "inifile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextCodec>

namespace {

bool isSection(const QString &line, QString *name) {
    const QString t = line.trimmed();
    if (t.size() < 2 || !t.startsWith(QLatin1Char('[')) || !t.endsWith(QLatin1Char(']'))) {
        return false;
    }
    if (name) {
        *name = t.mid(1, t.size() - 2).trimmed();
    }
    return true;
}

bool isKeyLine(const QString &line, QString *key, QString *rawValue) {
    const QString t = line.trimmed();
    const int eq = t.indexOf(QLatin1Char('='));
    if (eq <= 0 || t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#'))) {
        return false;
    }
    *key = t.left(eq).trimmed();
    if (rawValue) {
        *rawValue = t.mid(eq + 1).trimmed();
    }
    return !key->isEmpty();
}

int hexValue(QChar c) {
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
}

}  // namespace

IniFile::IniFile(const QString &fileName, const char *codecName)
    : m_path(fileName), m_codec(QTextCodec::codecForName(codecName)) {}

void IniFile::refresh() {
    const QFileInfo info(m_path);
    const qint64 size = info.exists() ? info.size() : -1;
    const QDateTime time = info.exists() ? info.lastModified() : QDateTime();
    if (m_loaded && size == m_loadedSize && time == m_loadedTime) {
        return;
    }
    m_lines.clear();
    QFile file(m_path);
    if (info.isFile() && file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        QString text = m_codec ? m_codec->toUnicode(bytes) : QString::fromUtf8(bytes);
        text.remove(QLatin1Char('\r'));
        m_lines = text.split(QLatin1Char('\n'));
        // The newline that ends the last line starts no line of its own.
        if (!m_lines.isEmpty() && m_lines.last().isEmpty()) {
            m_lines.removeLast();
        }
    }
    m_loaded = true;
    m_loadedSize = size;
    m_loadedTime = time;
}

int IniFile::findKey(const QString &section, const QString &key) const {
    QString current = QStringLiteral("General");
    int found = -1;
    for (int i = 0; i < m_lines.size(); ++i) {
        QString name;
        if (isSection(m_lines.at(i), &name)) {
            current = name;
            continue;
        }
        QString k;
        if (current == section && isKeyLine(m_lines.at(i), &k, nullptr) && k == key) {
            found = i;
        }
    }
    return found;
}

bool IniFile::value(const QString &section, const QString &key, QString *out) {
    refresh();
    const int at = findKey(section, key);
    QString k, raw;
    if (at < 0 || !isKeyLine(m_lines.at(at), &k, &raw)) {
        return false;
    }
    *out = unescaped(raw);
    return true;
}

bool IniFile::setValue(const QString &section, const QString &key, const QString &value,
                       QString *error) {
    refresh();
    const QString line = key + QLatin1Char('=') + escaped(value);
    const int at = findKey(section, key);
    if (at >= 0) {
        m_lines[at] = line;
    } else {
        // After the section's last setting, so that comments or lines below it
        // keep their place; a new section goes at the end.
        int insertAt = -1;
        QString current = QStringLiteral("General");
        for (int i = 0; i < m_lines.size(); ++i) {
            QString name, k;
            if (isSection(m_lines.at(i), &name)) {
                current = name;
                if (name == section) {
                    insertAt = i + 1;
                }
            } else if (current == section && isKeyLine(m_lines.at(i), &k, nullptr)) {
                insertAt = i + 1;
            }
        }
        if (insertAt < 0) {
            if (!m_lines.isEmpty() && !m_lines.last().trimmed().isEmpty()) {
                m_lines << QString();
            }
            m_lines << QLatin1Char('[') + section + QLatin1Char(']') << line;
        } else {
            m_lines.insert(insertAt, line);
        }
    }

    const QString text = m_lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
    const QByteArray bytes = m_codec ? m_codec->fromUnicode(text) : text.toUtf8();
    QSaveFile file(m_path);
    // A folder that allows no new file may still let the file itself be rewritten.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() ||
        !file.commit()) {
        if (error) {
            *error = file.errorString();
        }
        return false;
    }
    const QFileInfo info(m_path);
    m_loadedSize = info.size();
    m_loadedTime = info.lastModified();
    return true;
}

// As QSettings writes a text: quoted when it holds ',', ';' or '=' or starts or
// ends with a space; backslash escapes for '"', '\\' and control characters; a
// leading '@' doubled (a single one marks QSettings' typed values).
QString IniFile::escaped(const QString &text) const {
    QString out;
    bool quote = text.startsWith(QLatin1Char(' ')) || text.endsWith(QLatin1Char(' '));
    bool hexPending = false;
    for (QChar c : text) {
        const ushort u = c.unicode();
        if (u == ';' || u == ',' || u == '=') {
            quote = true;
        }
        if (hexPending && hexValue(c) >= 0) {
            // "\x1" followed by a hex digit would read as one character.
            out += QStringLiteral("\\x") + QString::number(u, 16);
            continue;
        }
        hexPending = false;
        switch (u) {
            case '\n': out += QLatin1String("\\n"); break;
            case '\r': out += QLatin1String("\\r"); break;
            case '\t': out += QLatin1String("\\t"); break;
            case '"':
            case '\\':
                out += QLatin1Char('\\');
                out += c;
                break;
            default:
                if (u < 0x20 || u == 0x7f) {
                    out += QStringLiteral("\\x") + QString::number(u, 16);
                    hexPending = true;
                } else {
                    out += c;
                }
        }
    }
    if (out.startsWith(QLatin1Char('@'))) {
        out.prepend(QLatin1Char('@'));
    }
    return quote ? QLatin1Char('"') + out + QLatin1Char('"') : out;
}

// As QSettings reads a text: quoted parts taken as they are, escapes resolved,
// unquoted parts trimmed; commas outside quotes (which QSettings turns into a
// list) are kept, since every value here is one text.
QString IniFile::unescaped(const QString &stored) {
    QStringList parts;
    QString part;
    bool quoted = false, partQuoted = false;
    for (int i = 0; i < stored.size(); ++i) {
        const QChar c = stored.at(i);
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
            partQuoted = true;
            continue;
        }
        if (c == QLatin1Char(',') && !quoted) {
            parts << (partQuoted ? part : part.trimmed());
            part.clear();
            partQuoted = false;
            continue;
        }
        if (c != QLatin1Char('\\') || i + 1 >= stored.size()) {
            part += c;
            continue;
        }
        const QChar e = stored.at(++i);
        switch (e.unicode()) {
            case 'n': part += QLatin1Char('\n'); break;
            case 'r': part += QLatin1Char('\r'); break;
            case 't': part += QLatin1Char('\t'); break;
            case 'a': part += QLatin1Char('\a'); break;
            case 'b': part += QLatin1Char('\b'); break;
            case 'f': part += QLatin1Char('\f'); break;
            case 'v': part += QLatin1Char('\v'); break;
            case '0': part += QChar(0); break;
            case 'x': {
                uint v = 0;
                int digits = 0;
                while (i + 1 < stored.size() && hexValue(stored.at(i + 1)) >= 0) {
                    v = v * 16 + uint(hexValue(stored.at(++i)));
                    ++digits;
                }
                if (digits > 0) {
                    part += QChar(ushort(v));
                }
                break;
            }
            default: part += e; break;
        }
    }
    parts << (partQuoted ? part : part.trimmed());
    QString value = parts.join(QLatin1Char(','));
    if (value.startsWith(QLatin1String("@@"))) {
        value.remove(0, 1);
    }
    return value;
}
