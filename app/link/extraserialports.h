// Serial ports the system's enumeration does not report but the operator wants
// offered: a simulator's pseudo-terminal, a port bridged over the network by
// socat or ser2net, a device under a name of its own. They are named as device
// paths, separated by blanks or commas, by the environment variable
// KELFLASH_EXTRA_SERIAL_PORTS ("kelsim serial -- COMMAND" sets it) and by the
// setting "extra_ports" of the group "serial" in KelFlash.ini.
#pragma once

#include <QStringList>

// "KELFLASH_EXTRA_SERIAL_PORTS"
extern const char kExtraSerialPortsVariable[];

// The named ports that are device nodes now (a link to one counts): the
// variable's before the setting's, each once. A path that is missing or no
// device is left out, with one warning per path and process.
QStringList extraSerialPorts();

// The system's ports with the named ones in front: the burn tab's scan links the
// first port listed, and a port the operator named is the one meant. A system
// port that is the same device as a named one is listed once.
QStringList withExtraSerialPorts(const QStringList &systemPorts);
