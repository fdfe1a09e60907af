#!/usr/bin/python3
"""fake-bluetoothd: the part of BlueZ 5.66's bluetoothd that the bridge uses, on a private bus.

It owns org.bluez on the bus given by --bus and serves:

  /                      org.freedesktop.DBus.ObjectManager (the adapter, /org/bluez, devices)
  /org/bluez             org.bluez.ProfileManager1 (RegisterProfile, UnregisterProfile)
  /org/bluez/hci0        org.bluez.Adapter1
  /org/bluez/hci0/dev_*  org.bluez.Device1 (ConnectProfile, DisconnectProfile, Disconnect)
  /org/kelm/FakeBluez    org.kelm.FakeBluez: the tests' control interface

ConnectProfile connects an AF_UNIX stream socket to the device's printer (a tepra-simulator
listening with --unix PATH) and hands it to the registered profile with NewConnection, as
bluetoothd hands over an RFCOMM socket. Like bluetoothd it keeps its own descriptor of every
socket it handed over: the link ends when either side shuts the socket down (or the printer
ends it), not when the client merely closes its descriptor.

Prints "ready" on stdout once it owns org.bluez. Ends on SIGTERM or SIGINT, or when the bus
goes; on the way out it calls Release on every registered profile, as bluetoothd does, and
with --save FILE it writes its adapter and devices to FILE in the --config format:

  {"adapter": {"Address": "...", "Name": "...", "Powered": true},
   "devices": [{"Address": "FC:0F:E7:00:00:01", "Name": "...", "Class": 1664, "Paired": true,
                "Trusted": true, "UUIDs": ["..."], "Printer": "/path.sock", "ConnectDelay": 0}]}
"""

import argparse
import json
import os
import re
import signal
import socket
import sys

import dbus
import dbus.exceptions
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ = 'org.bluez'
ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'
PROFILE_MANAGER_IFACE = 'org.bluez.ProfileManager1'
PROFILE_IFACE = 'org.bluez.Profile1'
PROPERTIES_IFACE = 'org.freedesktop.DBus.Properties'
OBJECT_MANAGER_IFACE = 'org.freedesktop.DBus.ObjectManager'
INTROSPECTABLE_IFACE = 'org.freedesktop.DBus.Introspectable'
CONTROL_IFACE = 'org.kelm.FakeBluez'
CONTROL_PATH = '/org/kelm/FakeBluez'
BLUEZ_PATH = '/org/bluez'
ADAPTER_PATH = '/org/bluez/hci0'
SERIAL_PORT = '00001101-0000-1000-8000-00805f9b34fb'

ADDRESS_RE = re.compile(r'^([0-9A-F]{2}:){5}[0-9A-F]{2}$')
UUID_RE = re.compile(r'^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$')

DEFAULT_ADAPTER = {'Address': '00:1A:7D:DA:71:13', 'Name': 'kelm-test', 'Powered': True}
ADAPTER_UUIDS = [
    '00001200-0000-1000-8000-00805f9b34fb',  # PnP information
    '00001800-0000-1000-8000-00805f9b34fb',  # generic access
    '00001801-0000-1000-8000-00805f9b34fb',  # generic attribute
    '0000110c-0000-1000-8000-00805f9b34fb',  # A/V remote control target
    '0000110e-0000-1000-8000-00805f9b34fb',  # A/V remote control
]
DEVICE_KEYS = {'Name', 'Class', 'Paired', 'Trusted', 'UUIDs', 'Printer', 'ConnectDelay'}


class BluezError(dbus.exceptions.DBusException):
    def __init__(self, name, message):
        super().__init__(message, name=name)


def invalid_args():
    return BluezError('org.bluez.Error.InvalidArguments', 'Invalid arguments in method call')


def control_error(what, message):
    return BluezError('org.kelm.FakeBluez.Error.' + what, message)


def log(text):
    print('fake-bluetoothd: ' + text, file=sys.stderr, flush=True)


def normal_address(address):
    address = str(address).upper()
    if not ADDRESS_RE.match(address):
        raise control_error('InvalidArgs', 'not a Bluetooth address: %r' % address)
    return address


def device_path(address):
    return ADAPTER_PATH + '/dev_' + address.replace(':', '_')


def apply_device_settings(settings, props):
    """Copies the AddDevice/SetDevice/config fields of `props` into `settings`."""
    for key, value in props.items():
        key = str(key)
        if key not in DEVICE_KEYS:
            raise control_error('InvalidArgs', 'unknown device field %r' % key)
        if key == 'Name':
            settings['Name'] = str(value) if str(value) else None
        elif key == 'Class':
            settings['Class'] = int(value) if value is not None else None
        elif key in ('Paired', 'Trusted'):
            settings[key] = bool(value)
        elif key == 'UUIDs':
            uuids = [str(u).lower() for u in value]
            for u in uuids:
                if not UUID_RE.match(u):
                    raise control_error('InvalidArgs', 'not a 128-bit UUID: %r' % u)
            settings['UUIDs'] = uuids
        elif key == 'Printer':
            settings['Printer'] = str(value)
        elif key == 'ConnectDelay':
            settings['ConnectDelay'] = float(value)


class PropertyObject(dbus.service.Object):
    """An object with org.freedesktop.DBus.Properties over one interface's properties."""

    def __init__(self, bus, path, iface):
        super().__init__(bus, path)
        self.path = path
        self.iface = iface
        self.props = self.current_props()

    def current_props(self):
        raise NotImplementedError

    def set_property(self, name, value):
        raise BluezError('org.freedesktop.DBus.Error.PropertyReadOnly',
                         "Property '%s' is not writable" % name)

    def managed_interfaces(self):
        return dbus.Dictionary({
            INTROSPECTABLE_IFACE: dbus.Dictionary({}, signature='sv'),
            self.iface: dbus.Dictionary(self.props, signature='sv'),
            PROPERTIES_IFACE: dbus.Dictionary({}, signature='sv'),
        }, signature='sa{sv}')

    def refresh(self):
        """Publishes the properties again, signalling those that changed."""
        new = self.current_props()
        changed = {k: v for k, v in new.items() if k not in self.props or self.props[k] != v}
        gone = [k for k in self.props if k not in new]
        self.props = new
        if changed or gone:
            self.PropertiesChanged(self.iface, dbus.Dictionary(changed, signature='sv'),
                                   dbus.Array(gone, signature='s'))

    def _check_iface(self, iface):
        if iface != self.iface:
            raise BluezError('org.freedesktop.DBus.Error.InvalidArgs',
                             "No such interface '%s'" % iface)

    @dbus.service.method(PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, iface, name):
        self._check_iface(iface)
        if name not in self.props:
            raise BluezError('org.freedesktop.DBus.Error.InvalidArgs',
                             "No such property '%s'" % name)
        return self.props[name]

    @dbus.service.method(PROPERTIES_IFACE, in_signature='s', out_signature='a{sv}')
    def GetAll(self, iface):
        self._check_iface(iface)
        return dbus.Dictionary(self.props, signature='sv')

    @dbus.service.method(PROPERTIES_IFACE, in_signature='ssv', out_signature='')
    def Set(self, iface, name, value):
        self._check_iface(iface)
        if name not in self.props:
            raise BluezError('org.freedesktop.DBus.Error.InvalidArgs',
                             "No such property '%s'" % name)
        self.set_property(name, value)
        self.refresh()

    @dbus.service.signal(PROPERTIES_IFACE, signature='sa{sv}as')
    def PropertiesChanged(self, iface, changed, invalidated):
        pass


class Adapter(PropertyObject):
    def __init__(self, daemon, settings):
        self.daemon = daemon
        self.address = normal_address(settings.get('Address', DEFAULT_ADAPTER['Address']))
        self.name = str(settings.get('Name', DEFAULT_ADAPTER['Name']))
        self.alias = None
        self.powered = bool(settings.get('Powered', DEFAULT_ADAPTER['Powered']))
        super().__init__(daemon.bus, ADAPTER_PATH, ADAPTER_IFACE)

    def current_props(self):
        return {
            'Address': dbus.String(self.address),
            'AddressType': dbus.String('public'),
            'Name': dbus.String(self.name),
            'Alias': dbus.String(self.alias or self.name),
            'Class': dbus.UInt32(0x7c010c),
            'Powered': dbus.Boolean(self.powered),
            'Discoverable': dbus.Boolean(False),
            'DiscoverableTimeout': dbus.UInt32(180),
            'Pairable': dbus.Boolean(True),
            'PairableTimeout': dbus.UInt32(0),
            'Discovering': dbus.Boolean(False),
            'UUIDs': dbus.Array(ADAPTER_UUIDS, signature='s'),
            'Modalias': dbus.String('usb:v1D6Bp0246d0542'),
        }

    def set_property(self, name, value):
        if name == 'Powered':
            self.daemon.set_powered(bool(value))
        elif name == 'Alias':
            self.alias = str(value) or None
        else:
            super().set_property(name, value)

    def state(self):
        return {'Address': self.address, 'Name': self.name, 'Powered': self.powered}


class Link:
    """The daemon's own descriptor of a socket handed to a profile, watched for its end."""

    def __init__(self, sock, registration, on_end):
        self.sock = sock
        self.registration = registration
        self.on_end = on_end
        self.watch = GLib.io_add_watch(sock.fileno(), GLib.PRIORITY_DEFAULT,
                                       GLib.IO_HUP | GLib.IO_ERR, self._ended)

    def _ended(self, fd, condition):
        self.watch = None
        self.release(shut_down=False)
        return False

    def release(self, shut_down):
        """Closes the daemon's descriptor; with shut_down the socket ends for every holder."""
        if self.sock is None:
            return
        if self.watch is not None:
            GLib.source_remove(self.watch)
            self.watch = None
        if shut_down:
            try:
                self.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.sock.close()
        self.sock = None
        self.on_end(self)


class Device(PropertyObject):
    def __init__(self, daemon, address, settings):
        self.daemon = daemon
        self.address = address
        self.settings = {'Name': None, 'Class': None, 'Paired': True, 'Trusted': None,
                         'UUIDs': [SERIAL_PORT], 'Printer': '', 'ConnectDelay': 0.0}
        apply_device_settings(self.settings, settings)
        if self.settings['Trusted'] is None:
            self.settings['Trusted'] = self.settings['Paired']
        self.alias = None
        self.link = None
        self.connecting = False
        self.connections = 0
        self.removed = False
        super().__init__(daemon.bus, device_path(address), DEVICE_IFACE)

    def current_props(self):
        s = self.settings
        props = {
            'Address': dbus.String(self.address),
            'AddressType': dbus.String('public'),
            'Alias': dbus.String(self.alias or s['Name'] or self.address.replace(':', '-')),
            'Paired': dbus.Boolean(s['Paired']),
            'Trusted': dbus.Boolean(s['Trusted']),
            'Blocked': dbus.Boolean(False),
            'LegacyPairing': dbus.Boolean(False),
            'Connected': dbus.Boolean(self.link is not None),
            'UUIDs': dbus.Array(s['UUIDs'], signature='s'),
            'Adapter': dbus.ObjectPath(ADAPTER_PATH),
            'ServicesResolved': dbus.Boolean(False),
        }
        if s['Name'] is not None:
            props['Name'] = dbus.String(s['Name'])
        if s['Class'] is not None:
            props['Class'] = dbus.UInt32(s['Class'])
        return props

    def set_property(self, name, value):
        if name == 'Trusted':
            self.settings['Trusted'] = bool(value)
        elif name == 'Alias':
            self.alias = str(value) or None
        else:
            super().set_property(name, value)

    def state(self):
        s = dict(self.settings)
        s['Address'] = self.address
        if s['Name'] is None:
            del s['Name']
        if s['Class'] is None:
            del s['Class']
        return s

    # --- The link.

    def _link_ended(self, link):
        if self.link is link:
            self.link = None
            self.refresh()

    def drop_link(self, shut_down):
        if self.link is not None:
            self.link.release(shut_down)

    def _answer_connect(self, callback, *args):
        self.connecting = False
        callback(*args)

    def _attempt(self, uuid, ok, err):
        page_timeout = BluezError('org.bluez.Error.Failed', 'br-connection-page-timeout')
        if self.removed:
            self._answer_connect(err, BluezError('org.bluez.Error.DoesNotExist', 'Does Not Exist'))
            return False
        if not self.daemon.adapter.powered:
            self._answer_connect(err, BluezError('org.bluez.Error.NotReady',
                                                 'br-connection-adapter-not-powered'))
            return False
        registration = self.daemon.registration_for(uuid)
        if registration is None:
            self._answer_connect(err, BluezError('org.bluez.Error.NotAvailable',
                                                 'br-connection-profile-unavailable'))
            return False
        if not self.settings['Paired'] or not self.settings['Printer']:
            self._answer_connect(err, page_timeout)
            return False
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(self.settings['Printer'])
        except OSError as e:
            log('%s: the printer refused the connection: %s' % (self.address, e))
            sock.close()
            self._answer_connect(err, page_timeout)
            return False
        sock.setblocking(False)
        link = Link(sock, registration, self._link_ended)
        self.link = link
        self.connections += 1
        self.refresh()

        def returned():
            self._answer_connect(ok)

        def refused(error):
            log('%s: NewConnection failed: %s' % (self.address, error))
            link.release(shut_down=True)
            self._answer_connect(err, BluezError('org.bluez.Error.Failed',
                                                 'br-connection-refused'))

        self.daemon.bus.call_async(registration.sender, registration.path, PROFILE_IFACE,
                                   'NewConnection', 'oha{sv}',
                                   (dbus.ObjectPath(self.path), dbus.types.UnixFd(sock.fileno()),
                                    dbus.Dictionary({}, signature='sv')),
                                   returned, refused)
        return False

    def _request_disconnection_then(self, done):
        link = self.link
        registration = link.registration

        def finish(*_):
            link.release(shut_down=True)
            done()

        if not self.daemon.is_registered(registration):
            finish()
            return
        self.daemon.bus.call_async(registration.sender, registration.path, PROFILE_IFACE,
                                   'RequestDisconnection', 'o', (dbus.ObjectPath(self.path),),
                                   finish, finish)

    # --- org.bluez.Device1

    @dbus.service.method(DEVICE_IFACE, in_signature='s', out_signature='',
                         async_callbacks=('ok', 'err'))
    def ConnectProfile(self, uuid, ok, err):
        self.daemon.record('ConnectProfile ' + self.address)
        uuid = str(uuid).lower()
        try:
            self.daemon.check_injected(self.address, 'ConnectProfile')
            if self.connecting:
                raise BluezError('org.bluez.Error.InProgress', 'In Progress')
            if not self.daemon.adapter.powered:
                raise BluezError('org.bluez.Error.NotReady', 'br-connection-adapter-not-powered')
            if uuid not in self.settings['UUIDs'] or self.daemon.registration_for(uuid) is None:
                raise BluezError('org.bluez.Error.NotAvailable',
                                 'br-connection-profile-unavailable')
        except BluezError as e:
            err(e)
            return
        if self.link is not None:
            # The link from before is still up: bluetoothd reports success and hands over
            # nothing new.
            ok()
            return
        self.connecting = True
        delay = self.settings['ConnectDelay']
        if delay < 0:
            return
        GLib.timeout_add(int(round(delay * 1000)), self._attempt, uuid, ok, err)

    @dbus.service.method(DEVICE_IFACE, in_signature='s', out_signature='',
                         async_callbacks=('ok', 'err'))
    def DisconnectProfile(self, uuid, ok, err):
        self.daemon.record('DisconnectProfile ' + self.address)
        try:
            self.daemon.check_injected(self.address, 'DisconnectProfile')
            if str(uuid).lower() not in self.settings['UUIDs']:
                raise invalid_args()
            if self.link is None:
                raise BluezError('org.bluez.Error.NotConnected', 'Not Connected')
        except BluezError as e:
            err(e)
            return
        self._request_disconnection_then(ok)

    @dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='',
                         async_callbacks=('ok', 'err'))
    def Disconnect(self, ok, err):
        self.daemon.record('Disconnect ' + self.address)
        try:
            self.daemon.check_injected(self.address, 'Disconnect')
        except BluezError as e:
            err(e)
            return
        if self.link is None:
            ok()
            return
        self._request_disconnection_then(ok)


class Registration:
    def __init__(self, sender, path, uuid, options):
        self.sender = sender
        self.path = path
        self.uuid = uuid
        self.options = options


class ProfileManager(dbus.service.Object):
    def __init__(self, daemon):
        super().__init__(daemon.bus, BLUEZ_PATH)
        self.daemon = daemon

    @dbus.service.method(PROFILE_MANAGER_IFACE, in_signature='osa{sv}', out_signature='',
                         sender_keyword='sender')
    def RegisterProfile(self, path, uuid, options, sender=None):
        d = self.daemon
        d.record('RegisterProfile %s %s' % (path, uuid))
        d.check_injected('', 'RegisterProfile')
        uuid = str(uuid).lower()
        if not UUID_RE.match(uuid):
            raise invalid_args()
        for r in d.registrations:
            if r.sender == sender and r.path == path:
                raise BluezError('org.bluez.Error.AlreadyExists', 'Already Exists')
        if d.registration_for(uuid) is not None:
            raise BluezError('org.bluez.Error.AlreadyExists', 'UUID already registered')
        d.registrations.append(Registration(str(sender), str(path), uuid, dict(options)))

    @dbus.service.method(PROFILE_MANAGER_IFACE, in_signature='o', out_signature='',
                         sender_keyword='sender')
    def UnregisterProfile(self, path, sender=None):
        d = self.daemon
        d.record('UnregisterProfile %s' % path)
        d.check_injected('', 'UnregisterProfile')
        for r in d.registrations:
            if r.sender == sender and r.path == path:
                d.drop_registration(r)
                return
        raise BluezError('org.bluez.Error.DoesNotExist', 'Does Not Exist')


class Root(dbus.service.Object):
    def __init__(self, daemon):
        super().__init__(daemon.bus, '/')
        self.daemon = daemon

    @dbus.service.method(OBJECT_MANAGER_IFACE, in_signature='', out_signature='a{oa{sa{sv}}}')
    def GetManagedObjects(self):
        d = self.daemon
        d.check_injected('', 'GetManagedObjects')
        objects = {
            dbus.ObjectPath(BLUEZ_PATH): dbus.Dictionary({
                INTROSPECTABLE_IFACE: dbus.Dictionary({}, signature='sv'),
                PROFILE_MANAGER_IFACE: dbus.Dictionary({}, signature='sv'),
            }, signature='sa{sv}'),
            dbus.ObjectPath(ADAPTER_PATH): d.adapter.managed_interfaces(),
        }
        for device in d.devices.values():
            objects[dbus.ObjectPath(device.path)] = device.managed_interfaces()
        return dbus.Dictionary(objects, signature='oa{sa{sv}}')

    @dbus.service.signal(OBJECT_MANAGER_IFACE, signature='oa{sa{sv}}')
    def InterfacesAdded(self, path, interfaces):
        pass

    @dbus.service.signal(OBJECT_MANAGER_IFACE, signature='oas')
    def InterfacesRemoved(self, path, interfaces):
        pass


class Control(dbus.service.Object):
    def __init__(self, daemon):
        super().__init__(daemon.bus, CONTROL_PATH)
        self.daemon = daemon

    def _device(self, address):
        address = normal_address(address)
        device = self.daemon.devices.get(address)
        if device is None:
            raise control_error('UnknownDevice', 'no device %s' % address)
        return device

    @dbus.service.method(CONTROL_IFACE, in_signature='sa{sv}', out_signature='')
    def AddDevice(self, address, props):
        self.daemon.add_device(normal_address(address), props)

    @dbus.service.method(CONTROL_IFACE, in_signature='s', out_signature='')
    def RemoveDevice(self, address):
        self.daemon.remove_device(self._device(address))

    @dbus.service.method(CONTROL_IFACE, in_signature='sa{sv}', out_signature='')
    def SetDevice(self, address, props):
        device = self._device(address)
        settings = dict(device.settings)
        apply_device_settings(settings, props)
        device.settings = settings
        device.refresh()

    @dbus.service.method(CONTROL_IFACE, in_signature='b', out_signature='')
    def SetAdapterPowered(self, powered):
        self.daemon.set_powered(bool(powered))
        self.daemon.adapter.refresh()

    @dbus.service.method(CONTROL_IFACE, in_signature='ssssb', out_signature='')
    def InjectError(self, address, method, name, message, once):
        address = normal_address(address) if address else ''
        self.daemon.errors.append((address, str(method), str(name), str(message), bool(once)))

    @dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='')
    def ClearErrors(self):
        self.daemon.errors.clear()

    @dbus.service.method(CONTROL_IFACE, in_signature='s', out_signature='')
    def HangUp(self, address):
        self._device(address).drop_link(shut_down=True)

    @dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='a(sos)')
    def Registrations(self):
        return dbus.Array([dbus.Struct((r.sender, dbus.ObjectPath(r.path), r.uuid))
                           for r in self.daemon.registrations], signature='(sos)')

    @dbus.service.method(CONTROL_IFACE, in_signature='', out_signature='as')
    def Calls(self):
        return dbus.Array(self.daemon.calls, signature='s')

    @dbus.service.method(CONTROL_IFACE, in_signature='s', out_signature='u')
    def Connections(self, address):
        return dbus.UInt32(self._device(address).connections)


class Daemon:
    def __init__(self, bus, config):
        self.bus = bus
        self.registrations = []
        self.calls = []
        self.errors = []  # (address, method, error name, message, once)
        self.devices = {}
        self.root = Root(self)
        self.profile_manager = ProfileManager(self)
        self.adapter = Adapter(self, config.get('adapter', {}))
        self.control = Control(self)
        for settings in config.get('devices', []):
            settings = dict(settings)
            address = normal_address(settings.pop('Address'))
            self.add_device(address, settings)
        bus.add_signal_receiver(self._name_owner_changed, signal_name='NameOwnerChanged',
                                dbus_interface='org.freedesktop.DBus',
                                bus_name='org.freedesktop.DBus', path='/org/freedesktop/DBus')

    def record(self, call):
        self.calls.append(call)

    def check_injected(self, address, method):
        for i, (a, m, name, message, once) in enumerate(self.errors):
            if a == address and m == method:
                if once:
                    del self.errors[i]
                raise BluezError(name, message)

    def registration_for(self, uuid):
        for r in self.registrations:
            if r.uuid == uuid:
                return r
        return None

    def is_registered(self, registration):
        return any(r is registration for r in self.registrations)

    def drop_registration(self, registration):
        self.registrations = [r for r in self.registrations if r is not registration]
        # bluetoothd closes its descriptors of the sockets it handed to a profile that goes.
        for device in self.devices.values():
            if device.link is not None and device.link.registration is registration:
                device.drop_link(shut_down=False)

    def _name_owner_changed(self, name, old_owner, new_owner):
        if not name.startswith(':') or new_owner:
            return
        for r in [r for r in self.registrations if r.sender == name]:
            self.drop_registration(r)

    def add_device(self, address, props):
        if address in self.devices:
            raise control_error('Exists', 'device %s exists' % address)
        device = Device(self, address, props)
        self.devices[address] = device
        self.root.InterfacesAdded(dbus.ObjectPath(device.path), device.managed_interfaces())

    def remove_device(self, device):
        device.drop_link(shut_down=True)
        device.removed = True
        del self.devices[device.address]
        device.remove_from_connection()
        self.root.InterfacesRemoved(dbus.ObjectPath(device.path),
                                    dbus.Array([INTROSPECTABLE_IFACE, DEVICE_IFACE,
                                                PROPERTIES_IFACE], signature='s'))

    def set_powered(self, powered):
        self.adapter.powered = powered
        if not powered:
            for device in self.devices.values():
                device.drop_link(shut_down=True)

    def state(self):
        return {'adapter': self.adapter.state(),
                'devices': [d.state() for d in self.devices.values()]}

    def shut_down(self):
        """What bluetoothd does when it stops: profiles are released, links dropped."""
        for r in self.registrations:
            self.bus.call_async(r.sender, r.path, PROFILE_IFACE, 'Release', '', (), None, None)
        self.registrations = []
        for device in self.devices.values():
            device.drop_link(shut_down=False)
        self.bus.flush()


def main():
    parser = argparse.ArgumentParser(description='A fake bluetoothd for tests, on a private bus.')
    parser.add_argument('--bus', default=os.environ.get('DBUS_SYSTEM_BUS_ADDRESS'),
                        help='the bus address (default: $DBUS_SYSTEM_BUS_ADDRESS)')
    parser.add_argument('--config', help='JSON file with the initial adapter and devices')
    parser.add_argument('--save', help='write the adapter and devices to this file on exit')
    args = parser.parse_args()
    if not args.bus:
        parser.error('no bus: give --bus ADDRESS')

    config = {}
    if args.config:
        with open(args.config, encoding='utf-8') as f:
            config = json.load(f)

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(args.bus)
    loop = GLib.MainLoop()
    daemon = Daemon(bus, config)

    def stop():
        loop.quit()
        return GLib.SOURCE_REMOVE

    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signum, stop)
    bus.call_on_disconnection(lambda _: loop.quit())

    if bus.request_name(BLUEZ, dbus.bus.NAME_FLAG_DO_NOT_QUEUE) != \
            dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
        log('org.bluez is owned by someone else')
        return 1
    print('ready', flush=True)
    loop.run()

    daemon.shut_down()
    if args.save:
        with open(args.save + '.new', 'w', encoding='utf-8') as f:
            json.dump(daemon.state(), f, indent=1)
        os.replace(args.save + '.new', args.save)
    return 0


if __name__ == '__main__':
    sys.exit(main())
