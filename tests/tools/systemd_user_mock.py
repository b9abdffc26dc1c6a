'''python3-dbusmock template: a user's service manager on the session bus,
as much of it as the daily timer uses. Every call lands in dbusmock's call
log (--logfile). Parameters: "refuse", a method name that answers with an
error, or "job": the start job fails; "next", the timer's
NextElapseUSecRealtime in microseconds.'''

import dbus
from gi.repository import GLib

from dbusmock import mockobject

BUS_NAME = 'org.freedesktop.systemd1'
MAIN_OBJ = '/org/freedesktop/systemd1'
MAIN_IFACE = 'org.freedesktop.systemd1.Manager'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.refuse = parameters.get('refuse', '')
    mock.next_elapse = parameters.get('next', 0)


def answer(mock, method, result=None):
    if mock.refuse == method:
        raise dbus.exceptions.DBusException(f'{method} refused by the test',
                                            name='org.freedesktop.DBus.Error.AccessDenied')
    return result


def unit_path(mock, name):
    '''A unit object (with the Timer properties) is made when first named.'''
    path = MAIN_OBJ + '/unit/' + ''.join(c if c.isalnum() else '_' for c in name)
    if path not in mockobject.objects:
        mock.AddObject(path, 'org.freedesktop.systemd1.Unit', {'Id': name}, [])
        mockobject.objects[path].AddProperties(
            'org.freedesktop.systemd1.Timer',
            {'NextElapseUSecRealtime': dbus.UInt64(mock.next_elapse)})
    return dbus.ObjectPath(path)


@dbus.service.method(MAIN_IFACE, in_signature='', out_signature='')
def Reload(self):
    answer(self, 'Reload')


@dbus.service.method(MAIN_IFACE, in_signature='asbb', out_signature='ba(sss)')
def EnableUnitFiles(self, _files, _runtime, _force):
    return answer(self, 'EnableUnitFiles', (True, dbus.Array([], signature='(sss)')))


@dbus.service.method(MAIN_IFACE, in_signature='asb', out_signature='a(sss)')
def DisableUnitFiles(self, _files, _runtime):
    return answer(self, 'DisableUnitFiles', dbus.Array([], signature='(sss)'))


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o')
def StartUnit(self, name, _mode):
    unit_path(self, name)
    job = answer(self, 'StartUnit', dbus.ObjectPath(MAIN_OBJ + '/job/1'))
    result = 'failed' if self.refuse == 'job' else 'done'
    # The job ends after the reply, as the manager's own do.
    GLib.idle_add(lambda: self.EmitSignal(MAIN_IFACE, 'JobRemoved', 'uoss',
                                          [1, job, name, result]) and False)
    return job


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o')
def StopUnit(self, name, _mode):
    unit_path(self, name)
    return answer(self, 'StopUnit', dbus.ObjectPath(MAIN_OBJ + '/job/2'))


@dbus.service.method(MAIN_IFACE, in_signature='s', out_signature='o')
def GetUnit(self, name):
    return answer(self, 'GetUnit', unit_path(self, name))
