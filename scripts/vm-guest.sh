#!/bin/busybox sh
# /init of the guest that scripts/test-vm.sh boots: loads the USB serial drivers, runs brelwick on
# the guest's ports and sends what each run said to the host, base64-encoded, since the console
# turns LF into CR LF. Lines starting with @@ ask the host to act on the far ends of the lines
# (pull an adapter out); the host answers "go" once it has. SERIAL_A, SERIAL_B and SERIAL_C are
# the adapters' serial numbers, set by the host in /etc/vm.env.
export PATH=/bin
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp
mount -t tmpfs tmpfs /tmp
stty -echo -onlcr
. /etc/vm.env

for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  insmod /lib/modules/$module.ko || echo "@@NOTE insmod $module failed"
done

# The tty that the adapter with serial number $1 became.
adapter_tty() {
  for tty in /sys/class/tty/ttyUSB*; do
    [ -e "$tty" ] || continue
    if [ "$(cat "$(readlink -f "$tty/device")/../../serial" 2>/dev/null)" = "$1" ]; then
      basename "$tty"
      return
    fi
  done
}

ask() {
  echo "@@$*"
  read -r answer
}

# Sends a file to the host as section NAME.
send() {
  echo "@@FILE $1"
  base64 "$2"
  echo "@@ENDFILE"
}

# run NAME COMMAND...: runs it, sends its output, standard error and status.
run() {
  name=$1
  shift
  "$@" >/tmp/$name.out 2>/tmp/$name.err
  echo $? >/tmp/$name.status
  for part in out err status; do
    send $name.$part /tmp/$name.$part
  done
}

# Hundredths of a second since boot.
now() {
  cut -d' ' -f1 /proc/uptime | tr -d .
}

# The adapters, once the USB bus has been walked: a minute at the most.
for wait in $(seq 600); do
  tty_a=$(adapter_tty "$SERIAL_A")
  tty_b=$(adapter_tty "$SERIAL_B")
  tty_c=$(adapter_tty "$SERIAL_C")
  [ -n "$tty_a" ] && [ -n "$tty_b" ] && [ -n "$tty_c" ] && break
  sleep 0.1
done
echo "@@NOTE adapters after $(now)0 ms: $SERIAL_A on ${tty_a:-nothing}, $SERIAL_B on ${tty_b:-nothing}, $SERIAL_C on ${tty_c:-nothing}"
cd /work

run list brelwick -l

# A flash through ftdi_sio; then that adapter is pulled out, leaving two.
run flash-usb brelwick -q -c usb:$SERIAL_A -f fw.hex
ask UNPLUG a
for wait in $(seq 100); do
  [ -z "$(adapter_tty "$SERIAL_A")" ] && break
  sleep 0.1
done

# Two adapters left: -c usb takes neither, and nothing goes down either line.
ls -d /sys/class/tty/ttyUSB* >/tmp/usb-two.adapters
send usb-two.adapters /tmp/usb-two.adapters
run usb-two brelwick -q -c usb -f fw.hex

# A user outside the port's group.
chgrp dialout /dev/$tty_b
chmod 660 /dev/$tty_b
run denied su operator -c "brelwick -q -c $tty_b -f fw.hex"

# A flash through the 8250 driver; the port's settings are kept.
stty -g -F /dev/ttyS1 >/tmp/flash-ttyS1.stty-before
run flash-ttyS1 brelwick -q -c ttyS1 -f fw.hex
stty -g -F /dev/ttyS1 >/tmp/flash-ttyS1.stty-after

# A port already held, by an update on its way; that update then terminated.
stty -g -F /dev/ttyS2 >/tmp/terminated.stty-before
brelwick -q -c ttyS2 -f fw.hex >/tmp/terminated.out 2>/tmp/terminated.err &
held=$!
sleep 3
run busy brelwick -q -c ttyS2 -f fw.hex
kill -TERM $held
wait $held
echo $? >/tmp/terminated.status
stty -g -F /dev/ttyS2 >/tmp/terminated.stty-after

# A unit that dies in the middle of block 1.
stty -g -F /dev/$tty_b >/tmp/dies.stty-before
run dies brelwick -q -c usb:$SERIAL_B -f fw.hex
stty -g -F /dev/$tty_b >/tmp/dies.stty-after

# An adapter pulled out in the middle of a block.
brelwick -q -c usb:$SERIAL_C -f fw.hex >/tmp/pulled.out 2>/tmp/pulled.err &
flashing=$!
sleep 4
pulled_at=$(now)
ask UNPLUG c
wait $flashing
echo $? >/tmp/pulled.status
echo $(($(now) - pulled_at)) >/tmp/pulled.centiseconds

for file in /tmp/*.stty-* /tmp/terminated.* /tmp/pulled.*; do
  send "$(basename "$file")" "$file"
done
echo "@@DONE"
poweroff -f
