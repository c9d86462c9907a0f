// Creates the device link for a connection type chosen by the operator.
#pragma once

class KelLinker;
class QObject;

class LinkFactory {
public:
    enum ConnectionType { Usb = 0, Serial = 1, Network = 2 };

    // A new link the caller owns, or none for an unknown type.
    static KelLinker *createLinker(int type, QObject *parent = nullptr);
};
