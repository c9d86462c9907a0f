// Disk nodes belong to root and the "disk" group; a card reader's nodes can also
// be handed to the operator by a udev rule.
#include "diskaccesshint.h"

#include <QCoreApplication>

#include <unistd.h>

QString diskAccessHint() {
    if (geteuid() == 0) {
        return QString();
    }
    return QCoreApplication::translate(
        "DiskAccessHint",
        "请以root身份运行，或将当前用户加入disk组（重新登录后生效），"
        "或为读卡器添加udev规则");
}
