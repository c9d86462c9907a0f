#include "linkfactory.h"

#include "kellinkernetwork.h"
#include "kellinkerserial.h"
#include "kellinkerusb.h"

KelLinker *LinkFactory::createLinker(int type, QObject *parent) {
    switch (type) {
        case Usb:
            return new KelLinkerUSB(parent);
        case Serial:
            return new KelLinkerSerial(parent);
        case Network:
            return new KelLinkerNetwork(parent);
        default:
            return nullptr;
    }
}
