'''python-dbusmock template: a systemd manager with the service units given as
{"units": [{"name", "description", "active", "sub", "onStop"}]}; onStop is "stops"
(after 300 ms), "hangs" (stays deactivating), "refuses", or "denied" (as systemd
answers a caller without the rights).'''

import dbus
from gi.repository import GLib
from dbusmock import mockobject

BUS_NAME = 'org.freedesktop.systemd1'
MAIN_OBJ = '/org/freedesktop/systemd1'
MAIN_IFACE = 'org.freedesktop.systemd1.Manager'
UNIT_IFACE = 'org.freedesktop.systemd1.Unit'
SYSTEM_BUS = True
STOP_ERRORS = {'refuses': 'org.freedesktop.systemd1.OnlyByDependency',
               'denied': 'org.freedesktop.DBus.Error.InteractiveAuthorizationRequired'}


def path(name):
    return MAIN_OBJ + '/unit/' + ''.join(c if c.isalnum() else '_' for c in name)


def add_unit(mock, name, description, load, active, sub, on_stop='stops'):
    mock.units[name] = on_stop
    mock.AddObject(path(name), UNIT_IFACE, {
        'Id': name, 'Description': description, 'LoadState': load, 'ActiveState': active,
        'SubState': sub, 'UnitFileState': 'enabled'}, [])


def update(name, **props):
    mockobject.objects[path(name)].UpdateProperties(UNIT_IFACE, props)
    return False


def load(mock, parameters):
    mock.units = {}
    for u in parameters['units']:
        add_unit(mock, u['name'], u['description'], 'loaded', u['active'], u['sub'], u['onStop'])


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='a(ssssssouso)')
def ListUnits(self):
    props = [mockobject.objects[path(n)].props[UNIT_IFACE] for n in self.units]
    return [(p['Id'], p['Description'], p['LoadState'], p['ActiveState'], p['SubState'], '',
             dbus.ObjectPath(path(p['Id'])), dbus.UInt32(0), '', dbus.ObjectPath('/'))
            for p in props if p['LoadState'] == 'loaded']


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='o')
def LoadUnit(self, name):
    if name not in self.units:  # systemd loads any name; one without a file is "not-found"
        add_unit(self, name, name, 'not-found', 'inactive', 'dead')
    return dbus.ObjectPath(path(name))


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o')
def StopUnit(self, name, _mode):
    if self.units[name] in STOP_ERRORS:
        raise dbus.exceptions.DBusException('refused', name=STOP_ERRORS[self.units[name]])
    update(name, ActiveState='deactivating', SubState='stop-sigterm')
    if self.units[name] == 'stops':
        GLib.timeout_add(300, lambda: update(name, ActiveState='inactive', SubState='dead'))
    return dbus.ObjectPath(MAIN_OBJ + '/job/1')


@dbus.service.method(MAIN_IFACE, in_signature='asb', out_signature='a(sss)')
def DisableUnitFiles(self, files, _runtime):
    for name in files:
        update(name, UnitFileState='disabled')
    return dbus.Array([('unlink', '/etc/systemd/system/multi-user.target.wants/' + f, '')
                       for f in files], signature='(sss)')


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='')
def Reload(self):
    pass
