// Tells the main window when the set of devices changes: a USB device node came
// or went (the burn tab rescans), or a disk arrived or went away (the card tab
// rescans). Each platform has its own source of these events.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class DeviceWatcher : public QObject {
    Q_OBJECT

public:
    // Event codes, numbered like the device-change notifications they stand for.
    enum Change {
        OtherChange = 0,
        DevNodesChanged = 0x0007,
        DeviceArrival = 0x8000,
        DeviceRemoveComplete = 0x8004,
    };
    Q_ENUM(Change)

    explicit DeviceWatcher(QObject *parent = nullptr);
    ~DeviceWatcher() override;

    // False when the platform source could not be opened (changes then go unseen).
    bool isActive() const;
    // Where the events come from (for the log).
    QString source() const;

    // For platforms that deliver changes as window messages: feed the window's
    // native events here. Always false: the window goes on handling the event.
    bool nativeEvent(const QByteArray &eventType, void *message);

signals:
    // code: one of Change, or the platform's own code for other device events.
    void deviceChanged(int code);

private:
    struct Private;
    Private *d;
};
