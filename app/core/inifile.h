// The settings file as text: sections of "key=value" lines, written back with
// every line it had (comments, lines of other programs or hand edits that are no
// setting) in its place. Values are written as QSettings writes text, so files
// move between this program and older versions of it.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

class QTextCodec;

class IniFile {
public:
    IniFile(const QString &fileName, const char *codecName);

    // The text of section/key; false when there is no such key.
    bool value(const QString &section, const QString &key, QString *out);
    // Sets the value and writes the whole file; false (with the reason) when it
    // could not be written. The value stays set in memory either way.
    bool setValue(const QString &section, const QString &key, const QString &value,
                  QString *error);

    QString fileName() const { return m_path; }

    // The QSettings forms of a text value, both ways.
    QString escaped(const QString &text) const;
    static QString unescaped(const QString &stored);

private:
    // Rereads the file when it changed on disk since it was last read or written.
    void refresh();
    // Index of the key's line (the last one, as QSettings reads it), or -1.
    int findKey(const QString &section, const QString &key) const;

    QString m_path;
    QTextCodec *m_codec;
    QStringList m_lines;
    bool m_loaded = false;
    qint64 m_loadedSize = -1;
    QDateTime m_loadedTime;
};
