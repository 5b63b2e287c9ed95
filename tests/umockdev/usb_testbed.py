#!/usr/bin/python3
"""A umockdev testbed with USB-to-UART bridges for the serial backend's tests.

  usb_testbed.py --check
      exit 0 when a testbed can run here, else 77 with the reason on stdout
  usb_testbed.py --bridges=JSON [--nxsim=PATH] [--timeout=SECONDS] -- PROGRAM ARGS...
      runs PROGRAM inside the testbed and exits with its exit code

JSON is a list of bridges: {"node": "ttyUSB0", "vid": "10c4", "pid": "ea60",
"serial": "0001" or null (no attribute), "product": "..." or null,
"plugged": true, "controller": true, "unserved": false}. A bridge with a
controller has an nxsim demo controller answering on the pseudo-terminal
behind its node. An unserved bridge is a USB device without a driver and
without a tty node, as the kernel leaves a product id it does not know.

PROGRAM may plug and unplug bridges while it runs: it writes "plug NODE" or
"unplug NODE" as one line to the descriptor named first in
NX_USB_TESTBED_CTL ("<write fd>,<read fd>") and reads "ok" or "error ..."
from the second one. Each plug and unplug sends the tty's uevent ("add",
"remove") as udev would; "last-uevent" answers "ok SECONDS", the
CLOCK_MONOTONIC time at which the last one was sent.
"""

import ctypes
import fcntl
import json
import os
import select
import signal
import string
import subprocess
import sys
import termios
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
PRELOAD = 'libumockdev-preload.so.0'
CTL_VARIABLE = 'NX_USB_TESTBED_CTL'

# Modem-line requests fail on every pseudo-terminal; a bridge has the lines.
TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCMSET = 0x5415, 0x5416, 0x5417, 0x5418
TIOCM_DTR, TIOCM_RTS, TIOCM_CTS, TIOCM_DSR = 0x002, 0x004, 0x020, 0x100


def fail(text, code=1):
    sys.stderr.write('usb_testbed: %s\n' % text)
    sys.exit(code)


def load_umockdev():
    import gi
    gi.require_version('UMockdev', '1.0')
    from gi.repository import UMockdev
    return UMockdev


def check():
    """Can a testbed run here? Prints the reason when not."""
    try:
        UMockdev = load_umockdev()
        tb = UMockdev.Testbed.new()
        tb.add_from_string(description('console.umockdev'))
    except Exception as e:  # missing packages or no testbed in this sandbox
        print('umockdev is not usable: %s' % e)
        return 77
    env = dict(os.environ, UMOCKDEV_DIR=tb.get_root_dir(), LD_PRELOAD=PRELOAD)
    r = subprocess.run(['ls', '/sys/class/tty'], env=env, capture_output=True, text=True)
    if r.returncode != 0 or r.stderr or r.stdout.split() != ['console']:
        print('the umockdev preload library does not work here: %s' %
              (r.stderr.strip() or 'the testbed is not seen'))
        return 77
    print('ok')
    return 0


def outside_env():
    """The environment of a process that is not part of the testbed."""
    env = {k: v for k, v in os.environ.items() if k not in ('UMOCKDEV_DIR', 'LD_PRELOAD')}
    rest = ' '.join(l for l in os.environ.get('LD_PRELOAD', '').split() if l != PRELOAD)
    if rest:
        env['LD_PRELOAD'] = rest
    return env


def description(name, **fields):
    """A description file of this folder with its fields filled in. The
    files carry '#' comments, which the testbed does not read."""
    with open(os.path.join(HERE, name), encoding='utf-8') as f:
        text = string.Template(f.read()).substitute(fields)
    return '\n'.join(l for l in text.splitlines() if not l.startswith('#')).strip() + '\n'


def ptsname(fd):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ptsname.restype = ctypes.c_char_p
    name = libc.ptsname(fd)
    if not name:
        raise OSError(ctypes.get_errno(), 'ptsname')
    return name.decode()


def make_raw(fd):
    tty.setraw(fd, termios.TCSANOW)
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)


class Pipe:
    """One direction of a relay, with what the far side has not taken yet."""

    def __init__(self, src, dst):
        self.src, self.dst, self.pending = src, dst, b''

    def pump(self):
        try:
            data = os.read(self.src, 4096)
        except BlockingIOError:
            return
        except OSError:
            data = b''  # the far side hung up: what it sent is lost
        self.pending += data
        self.flush()

    def flush(self):
        while self.pending:
            try:
                n = os.write(self.dst, self.pending)
            except BlockingIOError:
                return
            except OSError:
                self.pending = b''
                return
            self.pending = self.pending[n:]


class Bridge:
    def __init__(self, spec, index):
        self.node = spec['node']
        self.spec = spec
        self.port = index + 1
        self.devnum = index + 2
        self.master = self.slave = self.sim_fd = -1
        self.sim = None
        self.pipes = []
        self.handler = None
        self.sys_paths = []


class Testbed:
    def __init__(self, specs, nxsim):
        self.UMockdev = load_umockdev()
        # Ioctl handlers are GObject subclasses; define the class only now
        # that the binding is loaded.
        UMockdev = self.UMockdev

        class PassThrough(UMockdev.IoctlBase):
            """Each request runs on the host's real pseudo-terminal, except
            the modem lines, which are kept here."""

            def __init__(self):
                super().__init__()
                self.lines = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR

            def do_handle_ioctl(self, client):
                req = client.get_request()
                if req in (TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCMSET):
                    data = client.get_arg().resolve(0, 4)
                    if req == TIOCMGET:
                        data.update(0, self.lines.to_bytes(4, sys.byteorder))
                    else:
                        bits = int.from_bytes(bytes(data.data[:4]), sys.byteorder)
                        if req == TIOCMSET:
                            self.lines = bits
                        elif req == TIOCMBIS:
                            self.lines |= bits
                        else:
                            self.lines &= ~bits
                    client.complete(0, 0)
                    return True
                res, err = client.execute()
                client.complete(res, err)
                return True

        self.handler_class = PassThrough
        self.nxsim = nxsim
        self.tb = UMockdev.Testbed.new()
        self.root = self.tb.get_root_dir()
        self.tb.add_from_string(description('console.umockdev'))
        self.bridges = {}
        for i, spec in enumerate(specs):
            if spec['node'] in self.bridges:
                fail('bridge %s given twice' % spec['node'])
            self.bridges[spec['node']] = Bridge(spec, i)
        self.used = set()  # nodes plugged once: never again (umockdev aborts)
        self.last_uevent = None

    def plug(self, node):
        b = self.bridges.get(node)
        if b is None:
            return 'error no bridge ' + node
        if node in self.used:
            return 'error ' + node + ' was plugged before'
        self.used.add(node)
        s = b.spec
        if s.get('unserved', False):
            self.tb.add_from_string(description(
                'unserved.umockdev', port=b.port, devnum='%03d' % b.devnum, devnum_int=b.devnum,
                vid=s.get('vid', '10c4').lower(), pid=s.get('pid', 'ea60').lower()))
            return 'ok'
        self.tb.add_from_string(description(
            'bridge.umockdev', node=node, port=b.port, minor=int(''.join(c for c in node if c.isdigit()) or 0),
            devnum='%03d' % b.devnum, devnum_int=b.devnum, vid=s.get('vid', '10c4').lower(),
            pid=s.get('pid', 'ea60').lower(), driver=s.get('driver', 'cp210x')))
        usb = '/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%d' % b.port
        b.sys_paths = [usb + '/1-%d:1.0/%s/tty/%s' % (b.port, node, node),
                       usb + '/1-%d:1.0/%s' % (b.port, node), usb + '/1-%d:1.0' % b.port, usb]
        for attr in ('serial', 'product'):
            if s.get(attr) is not None:
                self.tb.set_attribute(usb, attr, s[attr])

        b.handler = self.handler_class()
        self.tb.attach_ioctl('/dev/' + node, b.handler)
        b.master = self.tb.get_dev_fd('/dev/' + node)
        # The testbed closes the slave; without one open the master fails
        # every read until the host opens the node.
        b.slave = os.open(ptsname(b.master), os.O_RDWR | os.O_NOCTTY)
        make_raw(b.slave)
        fcntl.fcntl(b.master, fcntl.F_SETFL,
                    fcntl.fcntl(b.master, fcntl.F_GETFL) | os.O_NONBLOCK)
        if s.get('controller', True):
            b.sim = subprocess.Popen([self.nxsim, '--demo'], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                     env=outside_env())
            r, _, _ = select.select([b.sim.stdout], [], [], 5)
            path = b.sim.stdout.readline().decode().strip() if r else ''
            if not path.startswith('/dev/'):
                return 'error nxsim gave no pseudo-terminal'
            b.sim_fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
            make_raw(b.sim_fd)
            b.pipes = [Pipe(b.master, b.sim_fd), Pipe(b.sim_fd, b.master)]
        self.announce(b.sys_paths[0], 'add')
        return 'ok'

    def announce(self, tty, action):
        """The uevent udev sends once its rules have run, with its time."""
        self.last_uevent = time.monotonic()
        self.tb.uevent(tty, action)

    def unplug(self, node):
        b = self.bridges.get(node)
        if b is None or b.master < 0:
            return 'error %s is not plugged' % node
        # Hang up: the testbed keeps the master's descriptor number, so put
        # /dev/null in its place rather than closing it under the testbed.
        null = os.open('/dev/null', os.O_RDWR)
        os.dup2(null, b.master)
        os.close(null)
        os.close(b.slave)
        b.master = b.slave = -1
        b.pipes = []
        self.stop_sim(b)
        # remove_device takes only its own folder: links and nodes go by hand.
        for rel in ('sys/class/tty/' + node, 'sys/bus/usb-serial/devices/' + node,
                    'sys/bus/usb/devices/1-%d:1.0' % b.port, 'sys/bus/usb/devices/1-%d' % b.port,
                    'dev/' + node, 'dev/bus/usb/001/%03d' % b.devnum):
            path = os.path.join(self.root, rel)
            if os.path.lexists(path):
                os.unlink(path)
        # udev tells once the port is gone from the lists, as the kernel's
        # removal is done by then.
        self.announce(b.sys_paths[0], 'remove')
        for p in b.sys_paths:
            self.tb.remove_device(p)
        return 'ok'

    def stop_sim(self, b):
        if b.sim_fd >= 0:
            os.close(b.sim_fd)
            b.sim_fd = -1
        if b.sim:
            b.sim.terminate()
            try:
                b.sim.wait(timeout=5)
            except subprocess.TimeoutExpired:
                b.sim.kill()
                b.sim.wait()
            b.sim.stdout.close()
            b.sim = None

    def close(self):
        for b in self.bridges.values():
            if b.slave >= 0:
                os.close(b.slave)
                b.slave = -1
            self.stop_sim(b)
        del self.tb

    def relays(self):
        for b in self.bridges.values():
            for p in b.pipes:
                yield p
            if b.master >= 0 and not b.pipes:
                yield Pipe(b.master, -1)  # no controller: drain what the host sends


def serve(tb, program, deadline):
    to_fixture_r, to_fixture_w = os.pipe()
    from_fixture_r, from_fixture_w = os.pipe()
    env = {k: v for k, v in os.environ.items() if k != 'NXUPDATE_PORTS'}
    env['UMOCKDEV_DIR'] = tb.root
    if PRELOAD not in env.get('LD_PRELOAD', '').split():
        env['LD_PRELOAD'] = (env.get('LD_PRELOAD', '') + ' ' + PRELOAD).strip()
    # An AddressSanitizer build must accept the preload library before it.
    env['ASAN_OPTIONS'] = (env.get('ASAN_OPTIONS', '') + ':verify_asan_link_order=0').lstrip(':')
    env[CTL_VARIABLE] = '%d,%d' % (to_fixture_w, from_fixture_r)
    child = subprocess.Popen(program, env=env, pass_fds=(to_fixture_w, from_fixture_r))
    os.close(to_fixture_w)
    os.close(from_fixture_r)
    try:
        return relay(tb, child, to_fixture_r, from_fixture_w, deadline)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        os.close(from_fixture_w)


def relay(tb, child, ctl, reply_fd, deadline):
    line = b''
    while child.poll() is None:
        if time.monotonic() > deadline:
            fail('%s did not finish in time' % child.args[0], 124)
        pipes = list(tb.relays())
        reads = [p.src for p in pipes] + ([ctl] if ctl >= 0 else [])
        writes = [p.dst for p in pipes if p.pending and p.dst >= 0]
        r, w, _ = select.select(reads, writes, [], 0.05)
        for p in pipes:
            if p.dst in w:
                p.flush()
            if p.src in r:
                if p.dst < 0:
                    try:
                        os.read(p.src, 4096)
                    except OSError:
                        pass
                else:
                    p.pump()
        if ctl in r:
            data = os.read(ctl, 256)
            if not data:
                os.close(ctl)
                ctl = -1
            line += data
            while b'\n' in line:
                cmd, line = line.split(b'\n', 1)
                words = cmd.decode().split()
                try:
                    if len(words) == 2 and words[0] == 'plug':
                        reply = tb.plug(words[1])
                    elif len(words) == 2 and words[0] == 'unplug':
                        reply = tb.unplug(words[1])
                    elif words == ['last-uevent'] and tb.last_uevent is not None:
                        reply = 'ok %.6f' % tb.last_uevent
                    else:
                        reply = 'error unknown command'
                except Exception as e:  # the test shows it and fails
                    reply = 'error %s' % e
                os.write(reply_fd, (reply + '\n').encode())
    if ctl >= 0:
        os.close(ctl)
    return child.returncode


def main(argv):
    # The testbed sends uevents through libudev, which must see the testbed
    # too: the fixture runs under the preload library itself.
    if PRELOAD not in os.environ.get('LD_PRELOAD', '').split():
        env = dict(os.environ, LD_PRELOAD=(os.environ.get('LD_PRELOAD', '') + ' ' + PRELOAD).strip())
        os.execve(sys.executable, [sys.executable, os.path.abspath(__file__)] + argv, env)
    opts, program = {}, []
    for i, a in enumerate(argv):
        if a == '--':
            program = argv[i + 1:]
            break
        if a == '--check':
            return check()
        key, _, value = a.partition('=')
        if key not in ('--bridges', '--nxsim', '--timeout'):
            fail('unknown argument ' + a, 2)
        opts[key] = value
    if not program:
        fail('no program given', 2)
    deadline = time.monotonic() + float(opts.get('--timeout', '30'))
    specs = json.loads(opts.get('--bridges', '[]'))
    nxsim = opts.get('--nxsim', '')
    if any(s.get('controller', True) for s in specs) and not os.access(nxsim, os.X_OK):
        fail('a controller needs --nxsim=PATH of the simulator', 2)
    # The C++ test ends the fixture with SIGTERM when it runs out of time.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    tb = Testbed(specs, nxsim)
    try:
        for s in specs:
            if s.get('plugged', True):
                reply = tb.plug(s['node'])
                if reply != 'ok':
                    fail(reply)
        return serve(tb, program, deadline)
    finally:
        tb.close()


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
