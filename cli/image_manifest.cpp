// The JSON manifest that describes an image for image_pack_write.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStringList>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "image.h"
#include "image_pack.h"

namespace {

std::string str(const QString &s) {
    return s.toUtf8().toStdString();
}

bool checkKeys(const QJsonObject &obj, const QStringList &allowed, const QString &where,
               std::string *error) {
    for (const QString &key : obj.keys()) {
        if (!allowed.contains(key)) {
            *error =
                str(where + ": unknown key \"" + key + "\" (known: " + allowed.join(", ") + ")");
            return false;
        }
    }
    return true;
}

bool readText(const QJsonObject &obj, const QString &key, const QString &where, std::string *out,
              std::string *error) {
    if (!obj.contains(key))
        return true;
    const QJsonValue v = obj.value(key);
    if (!v.isString()) {
        *error = str(where + ": \"" + key + "\" must be a string");
        return false;
    }
    *out = str(v.toString());
    return true;
}

// A 32-bit number, given as a JSON number or as text in C notation ("0x80000000").
bool readWord(const QJsonObject &obj, const QString &key, const QString &where, uint32_t *out,
              std::string *error) {
    if (!obj.contains(key))
        return true;
    const QJsonValue v = obj.value(key);
    const QString bad = where + ": \"" + key + "\" must be a number from 0 to 0xFFFFFFFF";
    if (v.isDouble()) {
        double d = v.toDouble();
        if (d < 0 || d > 4294967295.0 || std::floor(d) != d) {
            *error = str(bad);
            return false;
        }
        *out = static_cast<uint32_t>(d);
        return true;
    }
    if (v.isString()) {
        const QByteArray text = v.toString().trimmed().toLatin1();
        char *end = nullptr;
        errno = 0;
        unsigned long long n = strtoull(text.constData(), &end, 0);
        if (!text.isEmpty() && text[0] != '-' && *end == '\0' && errno == 0 && n <= 0xFFFFFFFFULL) {
            *out = static_cast<uint32_t>(n);
            return true;
        }
    }
    *error = str(bad);
    return false;
}

bool readEnv(const QJsonValue &v, std::vector<std::string> *out, std::string *error) {
    if (v.isObject()) {
        const QJsonObject obj = v.toObject();
        for (auto it = obj.begin(); it != obj.end(); ++it) {
            if (!it.value().isString()) {
                *error = str("env: the value of \"" + it.key() + "\" must be a string");
                return false;
            }
            out->push_back(str(it.key() + "=" + it.value().toString()));
        }
        return true;
    }
    if (v.isArray()) {
        for (const QJsonValue &item : v.toArray()) {
            if (!item.isString() || !item.toString().contains('=')) {
                *error = "env: every entry must be a string \"key=value\"";
                return false;
            }
            out->push_back(str(item.toString()));
        }
        return true;
    }
    *error = "env: must be an object of strings or an array of \"key=value\" strings";
    return false;
}

}  // namespace

int image_pack_load_manifest(const std::string &manifestPath, ImagePackSpec *spec,
                             std::string *error) {
    std::string dummy;
    std::string *err = error ? error : &dummy;
    const QString path = QFile::decodeName(manifestPath.c_str());
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *err = str("cannot read " + path + ": " + file.errorString());
        return -1;
    }
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &perr);
    if (perr.error != QJsonParseError::NoError) {
        *err = str(path + ": " + perr.errorString() + " at offset " + QString::number(perr.offset));
        return -1;
    }
    if (!doc.isObject()) {
        *err = str(path + ": the manifest must be a JSON object");
        return -1;
    }
    const QJsonObject top = doc.object();
    const QDir base = QFileInfo(path).absoluteDir();
    ImagePackSpec out;
    const QString where = QFileInfo(path).fileName();
    if (!checkKeys(top,
                   {"platform", "product", "version", "media_type", "media_id", "word264", "env",
                    "env_partition", "components"},
                   where, err) ||
        !readText(top, "platform", where, &out.platform, err) ||
        !readText(top, "product", where, &out.product, err) ||
        !readText(top, "version", where, &out.version, err) ||
        !readText(top, "media_type", where, &out.mediaType, err) ||
        !readText(top, "media_id", where, &out.mediaId, err) ||
        !readWord(top, "word264", where, &out.headerWord264, err))
        return -1;

    bool hasEnv = top.contains("env");
    std::vector<std::string> env;
    if (hasEnv && !readEnv(top.value("env"), &env, err))
        return -1;
    std::string envPartition = "env";
    if (!readText(top, "env_partition", where, &envPartition, err))
        return -1;

    if (!top.value("components").isArray()) {
        *err = str(where + ": \"components\" must be an array");
        return -1;
    }
    bool envPlaced = false;
    const QJsonArray comps = top.value("components").toArray();
    for (int i = 0; i < comps.size(); ++i) {
        const QString cw = where + ": component " + QString::number(i);
        if (!comps[i].isObject()) {
            *err = str(cw + " must be an object");
            return -1;
        }
        const QJsonObject c = comps[i].toObject();
        ImagePackComponent pc;
        if (!checkKeys(c, {"name", "partition", "attributes", "ram", "file", "magic"}, cw, err) ||
            !readText(c, "name", cw, &pc.name, err) ||
            !readText(c, "partition", cw, &pc.partition, err) ||
            !readText(c, "attributes", cw, &pc.attributes, err) ||
            !readText(c, "magic", cw, &pc.magic, err) || !readWord(c, "ram", cw, &pc.ram, err))
            return -1;
        if (pc.name.empty()) {
            *err = str(cw + ": \"name\" is missing");
            return -1;
        }
        if (c.contains("file")) {
            std::string file;
            if (!readText(c, "file", cw, &file, err))
                return -1;
            pc.dataFile = QFile::encodeName(
                              QDir::cleanPath(base.absoluteFilePath(QString::fromStdString(file))))
                              .toStdString();
        } else if (pc.name == IMAGE_ENV_COMPONENT) {
            // The environment component takes its data from "env".
            if (!hasEnv) {
                *err =
                    str(cw + ": " + IMAGE_ENV_COMPONENT + " needs \"file\" or a top-level \"env\"");
                return -1;
            }
            pc.data = image_pack_env(env);
            envPlaced = true;
        } else {
            *err = str(cw + " (" + QString::fromStdString(pc.name) + "): \"file\" is missing");
            return -1;
        }
        out.components.push_back(pc);
    }
    if (hasEnv && !envPlaced) {
        for (const ImagePackComponent &c : out.components) {
            if (c.name == IMAGE_ENV_COMPONENT) {
                *err = str(where + ": \"env\" given, but " + IMAGE_ENV_COMPONENT +
                           " also has a \"file\"");
                return -1;
            }
        }
        out.components.insert(out.components.begin(), image_pack_env_component(env, envPartition));
    }
    *spec = out;
    return 0;
}

int image_pack_manifest(const std::string &manifestPath, const std::string &outPath,
                        std::string *error) {
    ImagePackSpec spec;
    if (image_pack_load_manifest(manifestPath, &spec, error) != 0)
        return -1;
    return image_pack_write(spec, outPath, error);
}
