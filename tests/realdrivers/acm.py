# A CDC-ACM device inside the guest of the real-drivers stage: a USB gadget (configfs,
# libcomposite, usb_f_acm) on the virtual device controller usbip-vudc, plugged into the
# virtual host controller vhci-hcd over a loopback TCP connection. Linux's cdc-acm driver
# takes it as /dev/ttyACMn; its device end is /dev/ttyGS0, joined to a device simulator's
# pseudo-terminal by a shuttle.
import contextlib, glob, os, select, socket, subprocess, termios, threading, time, tty

GADGET = '/sys/kernel/config/usb_gadget/lintaro'
UDC = 'usbip-vudc.0'
VHCI = '/sys/devices/platform/vhci_hcd.0'
IDS = ('1209', 'a0c1')  # pid.codes' range, a product id of no real device
STRINGS = {'manufacturer': 'Lintaro', 'product': 'ACM Test', 'serialnumber': 'ACM-0001'}
HIGH_SPEED, PORT = 3, 0  # vhci's first ports take high-speed devices


def write(path, text):
    with open(path, 'w') as f:
        f.write(text)


def make_gadget():
    if not os.path.isdir('/sys/kernel/config/usb_gadget'):
        subprocess.run(['mount', '-t', 'configfs', 'none', '/sys/kernel/config'], check=True)
    os.makedirs(GADGET + '/strings/0x409')
    write(GADGET + '/idVendor', '0x' + IDS[0])
    write(GADGET + '/idProduct', '0x' + IDS[1])
    for name, text in STRINGS.items():
        write(GADGET + '/strings/0x409/' + name, text)
    os.makedirs(GADGET + '/configs/c.1')
    os.makedirs(GADGET + '/functions/acm.usb0')
    os.symlink(GADGET + '/functions/acm.usb0', GADGET + '/configs/c.1/acm.usb0')
    write(GADGET + '/UDC', UDC)
    # What the host asks of the lines (SET_CONTROL_LINE_STATE) goes into the kernel's log.
    if not os.path.isdir('/sys/kernel/debug/dynamic_debug'):
        subprocess.run(['mount', '-t', 'debugfs', 'none', '/sys/kernel/debug'])
    try:
        write('/sys/kernel/debug/dynamic_debug/control', 'module usb_f_acm +p')
    except OSError:
        pass


class Lost(Exception):  # the virtual controllers failed, not the program
    pass


def plug(on, name=None):  # the device into the host controller or out of it
    if not on:
        with contextlib.suppress(OSError):  # the connection dropped already
            write(VHCI + '/detach', str(PORT))
        return
    for attempt in range(3):
        # The controller takes a dropped connection down on a work queue of its own; one
        # that stays taken is made anew (its driver unbound and bound, the gadget put back).
        if not settled(time.monotonic() + 5) and attempt:
            for path, text in ((VHCI + '/detach', str(PORT)), ('/sys/devices/platform/%s/usbip_sockfd' % UDC, '-1')):
                with contextlib.suppress(OSError):  # nothing there to take down
                    write(path, text)
            write('/sys/bus/platform/drivers/usbip-vudc/unbind', UDC)
            write('/sys/bus/platform/drivers/usbip-vudc/bind', UDC)
            if not open(GADGET + '/UDC').read().strip():
                write(GADGET + '/UDC', UDC)
        try:
            connect()
            deadline = time.monotonic() + 15
            while name and not os.path.exists(name) and not free() and time.monotonic() < deadline:
                time.sleep(0.05)
            if not name or os.path.exists(name):
                return
            error = '%s did not come' % name
        except OSError as refused:
            error = refused
        # The device controller may send what was left of the last connection on the new
        # one (vhci: "cannot find a urb"), the host controller drops it: plugged anew.
        log = subprocess.run(['dmesg'], capture_output=True, text=True).stdout.splitlines()
        print('  plugging the ACM device failed (%s), try %d; device %s, host port %s; %s' % (
            error, attempt + 1, open('/sys/devices/platform/%s/usbip_status' % UDC).read().strip(),
            open(VHCI + '/status').readlines()[1 + PORT].strip(), ' / '.join(log[-6:])), flush=True)
        plug(False)
    raise Lost('the virtual controllers did not take the ACM device back in three tries')


def free():  # the host controller's port empty: the connection was dropped or never made
    return any(line.split()[1:3] == ['%04d' % PORT, '004'] for line in open(VHCI + '/status').readlines()[1:])


def settled(deadline):  # the device controller free, the host controller's port empty
    while True:
        ready = open('/sys/devices/platform/%s/usbip_status' % UDC).read().strip() == '1' and free()
        if ready or time.monotonic() > deadline:
            return ready
        time.sleep(0.05)


def connect():  # one end of a fresh loopback connection to each controller
    listener = socket.create_server(('127.0.0.1', 0))
    host = socket.create_connection(listener.getsockname())
    device = listener.accept()[0]
    listener.close()
    try:
        for end in (host, device):  # USB requests are small: Nagle's wait would pace them
            end.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # The device end first: the host's enumeration starts at once.
        write('/sys/devices/platform/%s/usbip_sockfd' % UDC, str(device.fileno()))
        try:
            write(VHCI + '/attach', '%d %d %d %d' % (PORT, host.fileno(), 0x10002, HIGH_SPEED))
        except OSError:
            with contextlib.suppress(OSError):
                write('/sys/devices/platform/%s/usbip_sockfd' % UDC, '-1')
            raise
    finally:
        host.close()  # what was taken is the kernel's now
        device.close()


def lines():  # what the host set of DTR and RTS, from the kernel's log
    log = subprocess.run(['dmesg'], capture_output=True, text=True).stdout
    return [int(word[1:], 16) & 3 for line in log.splitlines() if 'req21.22' in line
            for word in line.split() if word.startswith('v')]


def shown(states):
    return ' '.join(('DTR' if s & 1 else 'dtr') + ('+RTS' if s & 2 else '+rts') for s in states) or 'none'


def raw(fd, speed=None):
    tty.setraw(fd)
    attributes = termios.tcgetattr(fd)
    attributes[2] |= termios.CLOCAL
    if speed:
        attributes[4] = attributes[5] = speed
    termios.tcsetattr(fd, termios.TCSANOW, attributes)


class Shuttle:  # the device simulator's pseudo-terminal to the gadget end, both ways
    def __init__(self, pty):
        self.stop, self.pty = threading.Event(), pty
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def close(self):
        self.stop.set()
        self.thread.join()

    def run(self):
        sim = os.open(self.pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        raw(sim)
        gadget, waiting = None, {sim: b''}
        while not self.stop.is_set():
            if gadget is None:
                gadget = os.open('/dev/ttyGS0', os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                raw(gadget)
                waiting[gadget] = b''
            readers = [fd for fd, other in ((sim, gadget), (gadget, sim)) if len(waiting[other]) < 65536]
            writers = [fd for fd in (sim, gadget) if waiting[fd]]
            readable, writable, _ = select.select(readers, writers, [], 0.2)
            for fd in readable:
                other = gadget if fd == sim else sim
                try:
                    data = os.read(fd, 65536)
                except BlockingIOError:
                    continue
                except OSError:
                    data = b''
                if fd == gadget and not data:  # the host let the device go: a fresh open
                    os.close(gadget)
                    del waiting[gadget]
                    gadget = None
                    break
                waiting[other] += data
            for fd in writable:
                if fd in waiting:
                    try:
                        waiting[fd] = waiting[fd][os.write(fd, waiting[fd]):]
                    except BlockingIOError:
                        pass
                    except OSError:  # gone with the host: its bytes with it
                        waiting[fd] = b''
        for fd in (sim, gadget):
            if fd is not None:
                os.close(fd)
