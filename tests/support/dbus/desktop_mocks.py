#!/usr/bin/python3
'''Mock desktops on private D-Bus buses, made with python3-dbusmock.

  desktop_mocks.py config session|system DIR
      prints the configuration of a private bus listening at DIR/session or
      DIR/system; the session bus starts services from DIR/services only.
  desktop_mocks.py serve DESKTOP DIR
      on the buses named by DBUS_SESSION_BUS_ADDRESS and
      DBUS_SYSTEM_BUS_ADDRESS (both must be set, neither the machine's system
      bus): logind (dbusmock's template) and DESKTOP's session services. Each
      mock logs its calls to DIR/<service>.log. Prints "ready" once every
      mock answers, and ends them all when its input closes or on SIGTERM.
  desktop_mocks.py held
      prints what is held, a line each: logind's inhibitors and the desktop
      inhibitors' cookies.

DESKTOP is one of: none, gnome, gnome-refusing (its Logout fails),
gnome-slow (its inhibitors answer after a second), mate, cinnamon, kde
(Plasma 6: org.kde.Shutdown is started on demand), kde5, xfce, lxqt.
'''

import os
import signal
import subprocess
import sys
import time

import dbus

PYTHON = '/usr/bin/python3'
TEST_IFACE = 'org.velmora.Test'

# What a desktop inhibitor keeps: its cookies and reasons, and a way to list them.
INHIBIT = ("self.held = getattr(self, 'held', {}); self.last = getattr(self, 'last', 0) + 1; "
           "self.held[self.last] = args[REASON]; ret = dbus.UInt32(self.last)")
UNINHIBIT = "getattr(self, 'held', {}).pop(args[0], None)"
SLOW = 'time.sleep(1); '


def session_manager(name, path, logout='', inhibit_delay=''):
    return (name, path, name, [
        ('Logout', 'u', '', logout),
        ('Inhibit', 'susu', 'u', inhibit_delay + INHIBIT.replace('REASON', '2')),
        ('Uninhibit', 'u', '', UNINHIBIT),
    ])


def screensaver(inhibit_delay=''):
    return ('org.freedesktop.ScreenSaver', '/org/freedesktop/ScreenSaver',
            'org.freedesktop.ScreenSaver', [
                ('Inhibit', 'ss', 'u', inhibit_delay + INHIBIT.replace('REASON', '1')),
                ('UnInhibit', 'u', '', UNINHIBIT),
            ])


GNOME = ('org.gnome.SessionManager', '/org/gnome/SessionManager')
REFUSE = "raise dbus.exceptions.DBusException('not now', name='org.gnome.SessionManager.NotInRunning')"
KSMSERVER = ('org.kde.ksmserver', '/KSMServer', 'org.kde.KSMServerInterface',
             [('logout', 'iii', '', ''), ('closeSession', '', 'b', 'ret = True')])
KDE_SHUTDOWN = ('org.kde.Shutdown', '/Shutdown', 'org.kde.Shutdown', [('logout', '', '', '')])

# Each desktop: the services running, and those its bus starts on demand.
DESKTOPS = {
    'none': ([], []),
    'gnome': ([session_manager(*GNOME), screensaver()], []),
    'gnome-refusing': ([session_manager(*GNOME, logout=REFUSE)], []),
    'gnome-slow': ([session_manager(*GNOME, inhibit_delay=SLOW), screensaver(SLOW)], []),
    'mate': ([session_manager('org.mate.SessionManager', '/org/mate/SessionManager')], []),
    'cinnamon': ([session_manager('org.cinnamon.SessionManager', '/org/cinnamon/SessionManager')], []),
    'kde': ([KSMSERVER, screensaver()], [KDE_SHUTDOWN]),
    'kde5': ([KSMSERVER], []),
    'xfce': ([('org.xfce.SessionManager', '/org/xfce/SessionManager', 'org.xfce.Session.Manager',
               [('Logout', 'bb', '', '')])], []),
    'lxqt': ([('org.lxqt.session', '/LXQtSession', 'org.lxqt.session', [('logout', '', '', '')])], []),
}
INHIBITORS = [screensaver()[:3], GNOME + (GNOME[0],),
              ('org.mate.SessionManager', '/org/mate/SessionManager', 'org.mate.SessionManager'),
              ('org.cinnamon.SessionManager', '/org/cinnamon/SessionManager',
               'org.cinnamon.SessionManager')]


def config(kind, directory):
    services = f'  <servicedir>{directory}/services</servicedir>\n' if kind == 'session' else ''
    return f'''<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={directory}/{kind}</listen>
  <auth>EXTERNAL</auth>
{services}  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
'''


def private_buses():
    '''Refuses to go on unless both buses are named and neither is the machine's.'''
    session = os.environ.get('DBUS_SESSION_BUS_ADDRESS', '')
    system = os.environ.get('DBUS_SYSTEM_BUS_ADDRESS', '')
    if not session or not system:
        sys.exit('desktop_mocks: DBUS_SESSION_BUS_ADDRESS and DBUS_SYSTEM_BUS_ADDRESS must name private buses')
    for machine in ('/run/dbus/', '/var/run/dbus/'):
        if machine in system or machine in session:
            sys.exit(f'desktop_mocks: {system} is the machine\'s bus, not a private one')


def template(directory, service):
    '''A dbusmock template of `service`, written to `directory`.'''
    name, path, iface, methods = service
    file = os.path.join(directory, f'{name}.template.py')
    with open(file, 'w', encoding='utf-8') as out:
        out.write(f'BUS_NAME = {name!r}\nMAIN_OBJ = {path!r}\nMAIN_IFACE = {iface!r}\n'
                  'SYSTEM_BUS = False\n\n\ndef load(mock, _parameters):\n'
                  f'    mock.AddMethods(MAIN_IFACE, {methods!r})\n'
                  f'    mock.AddMethod({TEST_IFACE!r}, "Held", "", "as", '
                  '\'ret = dbus.Array(getattr(self, "held", {}).values(), signature="s")\')\n')
    return file


def mock_command(directory, service, system=False):
    name = service if isinstance(service, str) else service[0]
    command = [PYTHON, '-m', 'dbusmock', '-l', os.path.join(directory, f'{name}.log')]
    if isinstance(service, str):  # a template of dbusmock's own
        return command + ['--system' if system else '--session', '-t', service]
    return command + ['--session', '-t', template(directory, service)]


def wait_for(bus, name, limit=30):
    deadline = time.time() + limit
    while time.time() < deadline:
        if bus.name_has_owner(name):
            return
        time.sleep(0.05)
    sys.exit(f'desktop_mocks: {name} did not come up')


def serve(desktop, directory):
    private_buses()
    running, started = DESKTOPS[desktop]
    services = os.path.join(directory, 'services')
    os.makedirs(services, exist_ok=True)
    for old in os.listdir(services):  # an earlier desktop's
        os.remove(os.path.join(services, old))
    mocks = [subprocess.Popen(mock_command(directory, 'logind', system=True))]
    for service in running:
        mocks.append(subprocess.Popen(mock_command(directory, service)))
    for service in started:
        with open(os.path.join(directory, 'services', f'{service[0]}.service'), 'w',
                  encoding='utf-8') as out:
            out.write(f'[D-BUS Service]\nName={service[0]}\n'
                      f'Exec={" ".join(mock_command(directory, service))}\n')

    def end(*_):
        for m in mocks:
            m.terminate()
        for m in mocks:
            m.wait()
        sys.exit(0)

    signal.signal(signal.SIGTERM, end)
    wait_for(dbus.SystemBus(), 'org.freedesktop.login1')
    session = dbus.SessionBus()
    for service in running:
        wait_for(session, service[0])
    print('ready', flush=True)
    sys.stdin.read()
    end()


def held():
    private_buses()
    system = dbus.SystemBus()
    logind = system.get_object('org.freedesktop.login1', '/org/freedesktop/login1')
    for what, who, why, mode, _uid, _pid in logind.ListInhibitors(
            dbus_interface='org.freedesktop.login1.Manager'):
        print(f'logind {what} {who} {why} {mode}')
    session = dbus.SessionBus()
    for name, path, _iface in INHIBITORS:
        if session.name_has_owner(name):
            for reason in session.get_object(name, path).Held(dbus_interface=TEST_IFACE):
                print(f'{name} {reason}')


if __name__ == '__main__':
    if len(sys.argv) == 4 and sys.argv[1] == 'config':
        sys.stdout.write(config(sys.argv[2], sys.argv[3]))
    elif len(sys.argv) == 4 and sys.argv[1] == 'serve' and sys.argv[2] in DESKTOPS:
        serve(sys.argv[2], sys.argv[3])
    elif sys.argv[1:] == ['held']:
        held()
    else:
        sys.exit(__doc__)
