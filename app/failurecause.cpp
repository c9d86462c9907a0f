#include "failurecause.h"

#include <QCoreApplication>

namespace {

struct Cause {
    const char *marker;  // a piece of the worker's or the link's text
    const char *text;
};

// In order: a reason may carry the step that failed and, in brackets, what the
// link found behind it; the more telling part comes first.
const Cause kCauses[] = {
    {"Checksum mismatch",
     QT_TRANSLATE_NOOP("FailureCause", "校验和不一致，设备收到的数据与镜像不符")},
    {"Failed to open image file",
     QT_TRANSLATE_NOOP("FailureCause", "无法打开镜像文件，文件可能已被移走")},
    {"beyond the end of the image file", QT_TRANSLATE_NOOP("FailureCause", "镜像文件不完整")},
    {"Failed to read", QT_TRANSLATE_NOOP("FailureCause", "读取镜像文件失败")},
    {"Wait kelupg timeout",
     QT_TRANSLATE_NOOP("FailureCause", "设备未进入升级模式（adb启动升级服务超时）")},
    {"Failed to link Kelvora device", QT_TRANSLATE_NOOP("FailureCause", "无法连接设备")},
    {"Failed to open Kelvora device", QT_TRANSLATE_NOOP("FailureCause", "无法打开设备")},
    {"is completely lost", QT_TRANSLATE_NOOP("FailureCause", "设备已断开，未能重新连接")},
    {"lost!", QT_TRANSLATE_NOOP("FailureCause", "设备已断开，未能重新连接")},
    {"Connection recovery failed", QT_TRANSLATE_NOOP("FailureCause", "设备已断开，未能重新连接")},
    {"Device is disconnect", QT_TRANSLATE_NOOP("FailureCause", "设备在U-Boot阶段无应答")},
    {"The status of device",
     QT_TRANSLATE_NOOP("FailureCause", "设备仍在BROM阶段，无法烧写目标分区")},
    {"Failed to get burn result", QT_TRANSLATE_NOOP("FailureCause", "设备未返回烧写结果")},
    {"Failed to get the CRC", QT_TRANSLATE_NOOP("FailureCause", "设备未返回校验和")},
    {"Invalid block size", QT_TRANSLATE_NOOP("FailureCause", "设备返回的块大小无效")},
    {"Failed to malloc", QT_TRANSLATE_NOOP("FailureCause", "内存不足")},
    {"Failed to send", QT_TRANSLATE_NOOP("FailureCause", "与设备通信失败")},
    {"burnning process has error", QT_TRANSLATE_NOOP("FailureCause", "与设备通信失败")},
};

}  // namespace

QString failureCauseText(const QString &reason) {
    for (const Cause &c : kCauses) {
        if (reason.contains(QLatin1String(c.marker))) {
            return QCoreApplication::translate("FailureCause", c.text);
        }
    }
    return QCoreApplication::translate("FailureCause", "原因请查看日志");
}
