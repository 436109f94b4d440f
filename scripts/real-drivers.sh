#!/usr/bin/env bash
# The "real drivers" stage: the program built on the host runs in a QEMU guest (TCG) on
# Linux's own serial drivers: an emulated FTDI USB adapter (/dev/ttyUSB0, driver ftdi_sio)
# and a 16550 UART (/dev/ttyS1, driver 8250), each with the device simulator behind it on
# the host. The guest boots Debian's own kernel package with a small initramfs, takes the
# host's root file system read-only through 9p and a scratch folder of this run writable,
# runs tests/realdrivers/guest_tests.py and powers off. The host side checks QEMU's trace of
# what the guest driver did to the lines.
# Usage: scripts/real-drivers.sh [build folder]. LINTARO_CACHE overrides the cache root of
# the kernel and the initramfs (default ~/.cache/lintaro); LINTARO_REPLUGS the number of
# unplug cycles (10).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here/.."
build="$(cd "${1:-build}" && pwd)"

scripts/install-deps.sh qemu-system-x86 busybox-static cpio kmod python3 >&2
started=$SECONDS

# The guest's kernel and initramfs, cached outside the work tree; only a finished pair is
# moved into place.
guest_init="$(cat <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
modprobe -a xhci-pci ftdi_sio virtio_pci 9pnet_virtio 9p configfs cdc-acm libcomposite usb_f_acm usbip-vudc vhci-hcd
r=/newroot
mkdir -p $r
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000 hostroot $r || poweroff -f
mount -t devtmpfs dev $r/dev
mkdir -p $r/dev/pts $r/dev/shm
mount -t devpts -o ptmxmode=0666 devpts $r/dev/pts
mount -t tmpfs shm $r/dev/shm
mount -t proc proc $r/proc
mount -t sysfs sys $r/sys
mount -t tmpfs tmp $r/tmp
mount -t tmpfs run $r/run
mkdir -p $r/run/share
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 scratch $r/run/share
ip link set lo up
chroot $r /bin/sh /run/share/run >/dev/ttyS0 2>&1
sync
poweroff -f
EOF
)"
# The kernel's module folders the initramfs carries.
guest_modules="drivers/usb drivers/virtio net/9p fs/9p fs/netfs fs/fscache fs/configfs drivers/tty"
guest_image() {
  local cache="${LINTARO_CACHE:-$HOME/.cache/lintaro}" package version hash dir work
  package="$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')"
  [ -n "$package" ] || { apt-get update -qq >&2; package="$(apt-cache depends linux-image-amd64 |
    awk '/Depends: linux-image-[0-9]/ {print $2; exit}')"; }
  version="$(apt-cache policy "$package" | awk '/Candidate:/ {print $2}')"
  hash="$( { echo "$package $version"; echo "$guest_init"; echo "$guest_modules"; } | sha256sum | cut -c1-12)"
  dir="$cache/guest-${package#linux-image-}-$hash"
  if [ ! -f "$dir/.complete" ]; then
    echo "Making the guest's kernel and initramfs ($package $version)" >&2
    mkdir -p "$cache"
    work="$(mktemp -d "$cache/work-guest-XXXXXX")"
    chmod 755 "$work"  # apt-get download hands the file to its own user
    (cd "$work" && apt-get download "$package" >&2 || { apt-get update -qq >&2 && apt-get download "$package" >&2; })
    dpkg -x "$work"/*.deb "$work/pkg"
    local kver
    kver="$(ls "$work/pkg/lib/modules")"
    mkdir -p "$work/out/tree/bin" "$work/out/tree/lib/modules/$kver/kernel"
    cp /bin/busybox "$work/out/tree/bin/busybox"
    printf '%s\n' "$guest_init" > "$work/out/tree/init"
    chmod 755 "$work/out/tree/init"
    for d in $guest_modules; do
      [ -d "$work/pkg/lib/modules/$kver/kernel/$d" ] || continue
      mkdir -p "$work/out/tree/lib/modules/$kver/kernel/$d"
      cp -r "$work/pkg/lib/modules/$kver/kernel/$d/." "$work/out/tree/lib/modules/$kver/kernel/$d/"
    done
    cp "$work/pkg/lib/modules/$kver"/modules.{order,builtin}* "$work/out/tree/lib/modules/$kver/" 2>/dev/null || true
    depmod -b "$work/out/tree" "$kver"
    cp "$work/pkg/boot/vmlinuz-$kver" "$work/out/vmlinuz"
    (cd "$work/out/tree" && find . | cpio -o -H newc --quiet | gzip -1 > ../initramfs.gz)
    [ -s "$work/out/initramfs.gz" ] && [ "$(stat -c %s "$work/out/initramfs.gz")" -gt 100000 ] ||
      { echo "the initramfs came out empty" >&2; rm -rf "$work"; return 1; }
    rm -rf "$work/out/tree"
    touch "$work/out/.complete"
    rm -rf "$cache"/guest-*  # the kernel of an earlier package version
    mv "$work/out" "$dir"
    rm -rf "$work"
  fi
  echo "$dir"
}

guest="$(guest_image)"

scratch="$(mktemp -d)"
share="$scratch/share"
mkdir -p "$share" "$scratch/ports"
chmod 755 "$scratch"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# The devices on the host: the instrument behind the adapter, and behind the UART a modem
# that takes "+++" for data (its guard time outlasts the run), so that the hang-up ends in
# the DTR drop.
start_device() {
  local name="$1"
  shift
  "$build/bin/lintaro-devsim" --dir "$scratch/ports" --name "$name" "$@" >"$scratch/$name.out" &
  pids+=($!)
  for _ in $(seq 100); do
    [ -s "$scratch/$name.out" ] && return 0
    sleep 0.1
  done
  echo "the device simulator $name did not start" >&2
  return 1
}
start_device cable
start_device modem --mode modem --escape-guard 3600000

# What the guest runs goes into the share: the work tree may lie under /tmp, which the guest
# does not see (its /tmp is its own).
mkdir -p "$share/build/bin" "$share/build/tests/shell"
cp "$build/bin/Lintaro" "$build/bin/lintaro-test-relay" "$build/bin/lintaro-devsim" "$share/build/bin/"
cp -r "$build/tests/shell/plugins" "$share/build/tests/shell/"
cp tests/realdrivers/guest_tests.py tests/realdrivers/acm.py "$share/"
cat >"$share/run" <<RUN
export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8
export LINTARO_REPLUGS='${LINTARO_REPLUGS:-10}'
touch /run/share/up
python3 /run/share/guest_tests.py /run/share/build /run/share
echo "guest exit \$?"
RUN

# The guest's requests: note the host's time under a name (the trace's time stamps are the
# host's). The guest waits until its request file is gone.
python3 - "$share" "$scratch/marks" <<'PY' &
import os, sys, time
share, marks = sys.argv[1:3]
started, up = time.monotonic(), False
request = os.path.join(share, 'request')
while True:
    if not up and os.path.exists(os.path.join(share, 'up')):
        up = True
        print('real drivers: guest up after %.1f s' % (time.monotonic() - started), flush=True)
    if os.path.exists(request):
        with open(marks, 'a') as f:
            f.write('%s %.6f\n' % (open(request).read().split()[1], time.time()))
        os.remove(request)
    time.sleep(0.02)
PY
pids+=($!)

echo "Real drivers: booting the guest"
boot=$SECONDS
status=0
timeout "${LINTARO_GUEST_TIMEOUT:-900}" qemu-system-x86_64 -nodefaults -display none -no-reboot \
  -m 1024 -kernel "$guest/vmlinuz" -initrd "$guest/initramfs.gz" \
  -append "console=ttyS0 quiet panic=-1" \
  -serial stdio -chardev serial,id=m0,path="$scratch/ports/modem" -serial chardev:m0 \
  -device qemu-xhci -chardev serial,id=c0,path="$scratch/ports/cable" \
  -device usb-serial,chardev=c0,id=ftdi0,serial=LINTARO-A \
  -chardev null,id=c1 -device usb-serial,chardev=c1,id=ftdi1,serial=LINTARO-B,always-plugged=true \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$share",mount_tag=scratch,security_model=none,multidevs=remap \
  -d trace:usb_serial_set_baud,trace:usb_serial_set_data,trace:serial_write -D "$scratch/trace" \
  -msg timestamp=on </dev/null | tr -d '\r' | tee "$scratch/console" || status=$?
ran=$((SECONDS - boot))
grep -q '^guest exit 0$' "$scratch/console" || status=1

# What the guest driver did to the lines, as QEMU saw it.
check() {
  if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; status=1; fi
}
grep -q 'usb_serial_set_baud .*baud rate 19200$' "$scratch/trace"
check $? "the adapter was set to 19200 bit/s"
grep -q 'usb_serial_set_data .*parity N, data bits 8, stop bits 1$' "$scratch/trace"
check $? "the adapter was set to 8N1"
# DTR on the UART (bit 0 of the modem control register, addr 0x04): up during the call,
# down for at least half a second in the hang-up, then up again.
python3 - "$scratch/trace" "$scratch/marks" <<'PY'
import re, sys
marks = dict(line.split() for line in open(sys.argv[2]))
start, end = float(marks['hangup']), float(marks['hungup'])
writes = [(float(m[1]), int(m[2], 16)) for m in
          re.finditer(r'@(\d+\.\d+):serial_write write addr 0x04 val 0x([0-9a-f]+)', open(sys.argv[1]).read())]
# What the open and the dialling did to the lines (bit 0 DTR, bit 1 RTS): printed, not checked.
print('modem lines from the open to the call: ' + ' '.join(
    '0x%02x@%.2f' % (v, t - float(marks['open'])) for t, v in writes
    if float(marks['open']) <= t <= float(marks['up'])))
before = [v for t, v in writes if t < start]
during = [(t, v & 1) for t, v in writes if start <= t <= end]
down = next((t for t, dtr in during if dtr == 0), None)
up = next((t for t, dtr in during if dtr == 1 and down is not None and t > down), None)
print('DTR: %s during the call, then %s' % (
    'up' if before and before[-1] & 1 else 'down',
    ' '.join('%s@%.2f' % ('up' if d else 'down', t - start) for t, d in during) or 'no change'))
sys.exit(0 if before and before[-1] & 1 and down and up and up - down >= 0.5 else 1)
PY
check $? "the hang-up dropped DTR for at least 0.5 s and raised it again"
echo "real drivers: guest run ${ran} s (boot and tests), stage $((SECONDS - started)) s"
exit "$status"
