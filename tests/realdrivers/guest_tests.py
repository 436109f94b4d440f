#!/usr/bin/env python3
# The rows of the real-drivers stage, run as root in the QEMU guest of scripts/real-drivers.sh:
# the real program offscreen on /dev/ttyUSB0 (an FTDI adapter) and /dev/ttyS1 (a 16550 UART),
# the device simulator behind each on the host, and on /dev/ttyACM0 (a CDC-ACM gadget, see
# acm.py) with the simulator in the guest; the user's hand the window driver plugin.
# Usage: guest_tests.py BUILD SHARE (SHARE: the host's scratch folder, writable)
import fcntl, glob, os, re, select, shutil, socket, subprocess, sys, tempfile, termios, threading, time
import acm

build, share = sys.argv[1:3]
failed, running = [], []


def row(name, ok, detail=''):
    print(('ok   ' if ok else 'FAIL ') + name + (': ' + detail if detail else ''), flush=True)
    failed.extend([] if ok else [name])


def mark(name):  # the host notes its time (the trace's clock) and removes the request
    with open(share + '/request.tmp', 'w') as f:
        f.write('mark ' + name)
    os.rename(share + '/request.tmp', share + '/request')
    deadline = time.monotonic() + 30
    while os.path.exists(share + '/request') and time.monotonic() < deadline:
        time.sleep(0.02)


def latency():
    return open('/sys/bus/usb-serial/devices/ttyUSB0/latency_timer').read().strip()


class Program:
    def __init__(self, port, *options, uid=0, env=()):
        self.folder = tempfile.mkdtemp()
        shutil.copy(build + '/bin/Lintaro', self.folder)
        shutil.copy(build + '/bin/lintaro-test-relay', self.folder + '/relay')
        open(self.folder + '/setup.ini', 'w').write('DEMO1=relay\r\n')
        os.makedirs(self.folder + '/home/Vormex')
        open(self.folder + '/home/Vormex/Lintaro.conf', 'w').write('[General]\nCOM=%s\n' % port)
        os.chmod(self.folder, 0o755)
        subprocess.run(['chmod', '-R', 'a+rwX', self.folder + '/home'], check=True)
        self.server = socket.create_server(('127.0.0.1', 0))
        e = dict(os.environ, QT_QPA_PLATFORM='offscreen', QT_PLUGIN_PATH=build + '/tests/shell/plugins',
                 QT_QPA_GENERIC_PLUGINS='lintarowindowdriver', HOME=self.folder + '/home',
                 XDG_CONFIG_HOME=self.folder + '/home', LINTARO_RELAY_BRIDGE_PORT='53462',
                 LINTARO_RELAY_TEST_PORT=str(self.server.getsockname()[1]), **dict(env))
        user = ['setpriv', '--reuid=%d' % uid, '--regid=%d' % uid, '--clear-groups'] if uid else []
        self.proc = subprocess.Popen(user + [self.folder + '/Lintaro', *options], env=e,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        running.append(self)
        self.lines, self.seen = [], threading.Condition()
        threading.Thread(target=self.read, daemon=True).start()
        self.send('watch')

    def read(self):
        for raw in self.proc.stdout:
            with self.seen:
                self.lines.append((time.monotonic(), raw.decode('utf-8', 'replace').rstrip('\n')))
                self.seen.notify_all()

    def send(self, action):
        self.proc.stdin.write((action + '\n').encode())
        self.proc.stdin.flush()

    def wait(self, pattern, timeout=60, since=0.0):  # when a line matching `pattern` came
        with self.seen:
            found = lambda: next((t for t, l in self.lines if t >= since and re.match(pattern, l)), None)
            self.seen.wait_for(lambda: found() is not None, timeout)
            return found()

    def line(self, pattern):
        return next((l for _, l in self.lines if re.match(pattern, l)), '')

    def relay(self):  # the configuration program's connection to the test
        self.server.settimeout(60)
        link = self.server.accept()[0]
        link.settimeout(60)
        return link

    def close(self):
        running.remove(self)
        self.send('close')
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        shutil.rmtree(self.folder, ignore_errors=True)


def noise(size):  # no '+': the simulator holds a last '+' back, a possible "+VER_INFO=?"
    return os.urandom(size).replace(b'+', b'-')


def round_trip(link, size):  # `size` bytes through the relay to the echoing device and back
    data, got = noise(size), b''
    threading.Thread(target=send, args=(link, data), daemon=True).start()
    try:
        while len(got) < size and (chunk := link.recv(65536)):
            got += chunk
    except socket.timeout:
        pass
    if got != data and size > 16:
        first = next((i for i, (a, b) in enumerate(zip(got, data)) if a != b), min(len(got), size))
        print('  %d of %d bytes back, the first wrong at %d' % (len(got), size, first), flush=True)
    return got == data


def discard(link, stop, quiet=0.2):  # reads as a configuration program does, keeps nothing
    link.settimeout(quiet)
    while True:
        try:
            if not link.recv(65536):
                break
        except socket.timeout:
            if stop.is_set():
                break
    link.settimeout(60)


def send(link, data):  # on a thread: the reader's time-outs may cut it short
    try:
        link.sendall(data)
    except OSError:
        pass


def exchanges(link, count=200):  # median round trip of 16-byte exchanges, ms
    times = []
    for _ in range(count):
        started = time.monotonic()
        if not round_trip(link, 16):
            return float('nan')
        times.append((time.monotonic() - started) * 1000)
    return sorted(times)[count // 2]


def bulk(link, size=256 << 10):  # seconds for `size` bytes both ways at once
    started = time.monotonic()
    return time.monotonic() - started if round_trip(link, size) else float('nan')


class Direct:  # the client on the port itself: what the line gives without the relay
    def __init__(self, name):
        self.fd, self.timeout = os.open(name, os.O_RDWR | os.O_NOCTTY), 60
        acm.raw(self.fd, termios.B19200)
        termios.tcflush(self.fd, termios.TCIOFLUSH)

    def settimeout(self, timeout):
        self.timeout = timeout

    def sendall(self, data):
        view = memoryview(data)
        while view:
            view = view[os.write(self.fd, view):]

    def recv(self, size):
        if not select.select([self.fd], [], [], self.timeout)[0]:
            raise socket.timeout()
        return os.read(self.fd, size)


def cost(port, relayed, relayed_bulk):  # the relay against the client on the port itself
    direct = Direct(port)
    alone, alone_bulk = exchanges(direct), bulk(direct)
    os.close(direct.fd)
    trip, rate = relayed / alone, alone_bulk / relayed_bulk
    print('bench: relay cost on %s: 16-byte round trip %.1f ms relayed, %.1f ms direct (%.2fx, %s); '
          '256 KiB both ways %.2f s relayed, %.2f s direct (%.2fx the direct rate, %s)' % (
              port, relayed, alone, trip, 'met' if trip <= 1.1 else 'NOT met', relayed_bulk, alone_bulk,
              rate, 'met' if rate >= 0.95 else 'NOT met'), flush=True)


def replugs(p, link, cycles, plug, what):  # unplugged during a transfer both ways, and back
    for cycle in range(1, cycles + 1):
        stop = threading.Event()
        sender = threading.Thread(target=send, args=(link, noise(256 << 10)), daemon=True)
        reader = threading.Thread(target=discard, args=(link, stop), daemon=True)
        sender.start()
        reader.start()
        time.sleep(0.3)  # the stream under way both ways
        unplugged = time.monotonic()
        plug(False)
        red = p.wait('status Прибор недоступен #ff0000', 10, unplugged)
        row('%s unplug %d: red "Прибор недоступен" within 1 s' % (what, cycle),
            red is not None and red - unplugged <= 1, '%.2f s' % (red - unplugged) if red else 'never')
        replugged = time.monotonic()
        plug(True)
        row('%s replug %d: "Подключен"' % (what, cycle), p.wait('status Подключен', 30, replugged) is not None)
        sender.join(60)
        stop.set()
        reader.join()
        discard(link, stop, 1.0)  # what the device still echoes of the stream
        intact = round_trip(link, 64 << 10)
        row('%s replug %d: 64 KiB intact' % (what, cycle), intact,
            '' if intact else ' / '.join(l[:120] for t, l in p.lines if t >= replugged))


def cable(cycles):
    before, p = latency(), Program('/dev/ttyUSB0', '--log')
    p.send('ports')
    p.wait('ports ')
    row('port list', {'/dev/ttyUSB0', '/dev/ttyS1'} <= set(p.line('ports ')[6:].split('|')), p.line('ports '))
    p.wait('portbox ')
    row('adapter named on the closed box', 'QEMU' in p.line('portbox '), p.line('portbox '))
    p.send('click')
    link = p.relay()
    row('connected through the adapter', p.wait('status Подключен') is not None)
    row('latency timer 1 ms while open', latency() == '1', latency())
    row('1 MiB both ways intact', round_trip(link, 1 << 20))
    clicked = time.monotonic()
    p.send('click')
    p.wait('status Нет подключения', 20, clicked)
    row('latency timer back after "Отключить"', latency() == before, before + ' -> ' + latency())
    p.send('click')
    link = p.relay()
    p.wait('status Подключен', 60, clicked)
    # Off the bus and back: the kernel disconnects the adapter as when it is pulled out.
    device = os.path.realpath('/sys/class/tty/ttyUSB0/device')  # .../1-1/1-1:1.0/ttyUSB0
    authorized = os.path.dirname(os.path.dirname(device)) + '/authorized'
    replugs(p, link, cycles, lambda on: open(authorized, 'w').write('1' if on else '0'), 'adapter')
    low, moved = exchanges(link), bulk(link)
    p.close()
    p = Program('/dev/ttyUSB0', env={'LINTARO_LOW_LATENCY': '0'})
    p.send('click')
    print('bench: 16-byte round trip through the adapter, median of 200: low latency %.1f ms, without %.1f ms'
          % (low, exchanges(p.relay())), flush=True)
    p.close()
    cost('/dev/ttyUSB0', low, moved)


def usb(serial):  # the adapter's USB device in sysfs, once enumerated
    deadline = time.monotonic() + 30
    while True:
        found = [os.path.dirname(f) for f in glob.glob('/sys/bus/usb/devices/*/serial')
                 if open(f).read().strip() == serial]
        if found or time.monotonic() > deadline:
            return found[0]
        time.sleep(0.05)


def plug(serial, on, name=None):  # on the bus or off it; `name`: the tty it must take
    open(usb(serial) + '/authorized', 'w').write('1' if on else '0')
    deadline = time.monotonic() + 30
    while name and not os.path.exists(name) and time.monotonic() < deadline:
        time.sleep(0.05)


def identity():  # adapter A is followed under its new name, B (on A's old name) left alone
    a = usb('LINTARO-A')
    ident = 'usb:%s:%s:LINTARO-A' % tuple(open(a + '/' + f).read().strip() for f in ('idVendor', 'idProduct'))
    p = Program('/dev/ttyUSB0', '--log')
    p.send('click')
    link = p.relay()
    p.wait('status Подключен')
    plug('LINTARO-A', False)
    p.wait('status Прибор недоступен #ff0000', 10)
    other = time.monotonic()
    plug('LINTARO-B', True, '/dev/ttyUSB0')
    time.sleep(1.5)  # reopen attempts meet adapter B under A's old name
    back = time.monotonic()
    plug('LINTARO-A', True, '/dev/ttyUSB1')
    row('adapter followed under its new name, the other one not opened',
        p.wait('log .*/dev/ttyUSB0 найден под именем /dev/ttyUSB1', 30) is not None and
        p.wait('status Подключен', 30, back) is not None and
        (p.wait('status Подключен', 0, other) or 0) >= back and
        round_trip(link, 64 << 10))
    p.close()
    p = Program('/dev/ttyUSB0\nCOMId=' + ident)
    p.send('click')
    row('at start the stored adapter is selected under its new name', round_trip(p.relay(), 4096))


def modem():
    p = Program('/dev/ttyS1', '--modem', '--log')
    p.send('modem 89001234567')
    mark('open')
    p.send('click')
    link = p.relay()
    row('modem call up on the UART', p.wait('status Подключен') is not None and round_trip(link, 4096))
    mark('up')
    mark('hangup')
    p.send('click')
    row('hang-up logged', p.wait('log .*Модем не ответил на завершение вызова', 30) is not None and
        p.wait('log .*Вызов завершён сбросом DTR', 30) is not None)
    mark('hungup')


def no_access():
    os.chmod('/dev/ttyS1', 0o600)
    p = Program('/dev/ttyS1', uid=65534)
    p.send('click')
    row('no access: status and the group hint', p.wait('status Нет доступа к COM-порту #ff0000', 30) and
        p.wait('box .*dialout', 10) is not None, p.line('box '))


def settings(name):  # what the driver keeps of its port from one open to the next
    fd = os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    info = bytearray(128)  # struct serial_struct: flags, close_delay, closing_wait...
    fcntl.ioctl(fd, termios.TIOCGSERIAL, info)
    kept = termios.tcgetattr(fd), bytes(info)
    os.close(fd)
    return kept


def acm_cable(cycles):
    before, seen = settings('/dev/ttyACM0'), len(acm.lines())
    p = Program('/dev/ttyACM0', '--log')
    p.send('ports')
    p.wait('porttip ')
    row('ACM port listed and described', '/dev/ttyACM0' in p.line('ports ')[6:].split('|') and
        'Изготовитель: Lintaro|Модель: ACM Test|Серийный номер: ACM-0001' in p.line('porttip '),
        p.line('porttip '))
    p.send('click')
    link = p.relay()
    row('ACM port identified, 1 MiB both ways intact',
        p.wait('status Подключен') is not None and round_trip(link, 1 << 20))
    clicked = time.monotonic()
    p.send('click')
    p.wait('status Нет подключения', 20, clicked)
    print('ACM lines the host set from the open to the close: ' + acm.shown(acm.lines()[seen:]), flush=True)
    after = settings('/dev/ttyACM0')
    # cdc-acm has no low-latency mode: the open and the close go on without a word. The
    # driver keeps the line settings for the next program: the close gives them back.
    row('ACM driver flags and line settings as they were, no message',
        after == before and not p.line('box '),
        '' if after == before else 'before %s, after %s' % (before[0], after[0]))
    p.send('click')
    link = p.relay()
    p.wait('status Подключен', 60, clicked)
    replugs(p, link, cycles, lambda on: acm.plug(on, '/dev/ttyACM0' if on else None), 'ACM')
    trip, moved = exchanges(link), bulk(link)
    p.close()
    cost('/dev/ttyACM0', trip, moved)


def acm_identity():  # a port still held keeps its number: the device comes back as ttyACM1
    p = Program('/dev/ttyACM0', '--log')
    p.send('click')
    link = p.relay()
    p.wait('status Подключен')
    held = os.open('/dev/ttyACM0', os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    acm.plug(False)
    p.wait('status Прибор недоступен #ff0000', 10)
    back = time.monotonic()
    acm.plug(True, '/dev/ttyACM1')
    row('ACM device followed under its new name',
        p.wait('log .*/dev/ttyACM0 найден под именем /dev/ttyACM1', 30) is not None and
        p.wait('status Подключен', 30, back) is not None and round_trip(link, 64 << 10))
    os.close(held)
    p.close()
    p = Program('/dev/ttyACM0\nCOMId=usb:%s:%s:%s' % (*acm.IDS, acm.STRINGS['serialnumber']))
    p.send('click')
    row('at start the stored ACM device is selected under its new name', round_trip(p.relay(), 4096))


def acm_modem():  # the modem on the gadget end: the escape and "ATH" end the call
    global shuttle
    shuttle.close()
    shuttle = acm.Shuttle(sims['acmmodem'])
    port, seen = glob.glob('/dev/ttyACM*')[0], len(acm.lines())
    p = Program(port, '--modem', '--log')
    p.send('modem 89001234567')
    p.send('click')
    link = p.relay()
    row('modem call up on the ACM port', p.wait('status Подключен') is not None and round_trip(link, 4096))
    hangup = time.monotonic()
    p.send('click')
    row('ACM modem hung up by "ATH"', p.wait('log .*ATH', 30, hangup) is not None and
        p.wait('status Нет подключения', 30, hangup) is not None and not p.line('log .*Модем не ответил'),
        ' / '.join(l for _, l in p.lines[-12:]))
    print('ACM lines the host set from the open to the hang-up: ' + acm.shown(acm.lines()[seen:]), flush=True)


# The ACM device: its simulators in the guest (an instrument, a modem), the instrument behind
# the gadget first.
sims, lost, acm_rows = {}, None, (('ACM cable', lambda: acm_cable(int(os.environ.get('LINTARO_REPLUGS', '10')))),
                      ('ACM identity', acm_identity), ('ACM modem', acm_modem))
try:
    acm.make_gadget()
    for name, options in (('acm', []), ('acmmodem', ['--mode', 'modem'])):
        sim = subprocess.Popen([build + '/bin/lintaro-devsim', '--dir', '/run', '--name', name, *options],
                               stdout=subprocess.PIPE)
        sims[name] = sim.stdout.readline().decode().strip()
    shuttle = acm.Shuttle(sims['acm'])
    acm.plug(True, '/dev/ttyACM0')
except acm.Lost as error:
    lost = error
except Exception as error:  # its rows cannot run
    row('ACM device made', False, repr(error))
    acm_rows = ()
# Adapter A (the simulator behind it) on /dev/ttyUSB0, adapter B (nothing behind it) off the bus.
for serial in ('LINTARO-A', 'LINTARO-B'):
    plug(serial, False)
plug('LINTARO-A', True, '/dev/ttyUSB0')
for name, run in (('cable', lambda: cable(int(os.environ.get('LINTARO_REPLUGS', '10')))),
                  ('identity', identity), ('modem', modem), ('no access', no_access), *acm_rows):
    started = time.monotonic()
    if lost and name.startswith('ACM'):
        print('skipped %s: %s' % (name, lost), flush=True)
        continue
    try:
        run()
    except acm.Lost as error:  # the guest's USB emulation, not the program: the rest skipped
        lost = error
        print('skipped the rest of %s: %s' % (name, error), flush=True)
    except Exception as error:  # a row that cannot go on fails; the next still runs
        row(name, False, repr(error))
    for p in list(running):
        p.close()
    print('time: %s %.1f s' % (name, time.monotonic() - started), flush=True)
print('guest tests: ' + ('FAILED ' + ', '.join(failed) if failed else 'passed'), flush=True)
sys.exit(1 if failed else 0)
