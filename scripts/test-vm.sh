#!/usr/bin/env bash
# brelwick through the kernel's own serial drivers: a QEMU guest (TCG) boots Debian's kernel with
# an initramfs made here, holding build/brelwick, the libraries it loads and the USB serial
# modules. The guest has two emulated FTDI adapters on an xHCI controller (driven by ftdi_sio)
# and an emulated 16550 as ttyS1 (driven by the 8250 driver); each is wired to a host
# pseudo-terminal on which `unit-sim --line` plays the unit. scripts/vm-guest.sh is the guest's
# /init; it runs the updates and sends what they said back here, where they are checked.
# Every check prints a line; the script fails when any check fails. Without QEMU, a static
# busybox, cpio or the kernel package it prints a line starting "== SKIPPING" and ends with 0.
#   BUILD  the native build folder (default build); the kernel is kept in BUILD/vm between runs
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${BUILD:-build}" && pwd)
vm=$build/vm
SERIAL_A=A50285BI
SERIAL_B=FT4Q7XZ2
SERIAL_C=AB0MZ5C3

skip() {
  echo "== SKIPPING the kernel's serial drivers in a guest: $*"
  exit 0
}

command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64 (Debian: qemu-system-x86)"
busybox=$(command -v busybox || true)
if [ -z "$busybox" ] || ldd "$busybox" >/dev/null 2>&1; then
  skip "no statically linked busybox (Debian: busybox-static)"
fi
command -v cpio >/dev/null || skip "no cpio (Debian: cpio)"
for program in brelwick unit-sim; do
  [ -x "$build/$program" ] || { echo "FAILED: no $build/$program: build it first" >&2; exit 1; }
done

# Debian's kernel, downloaded once and unpacked, never installed.
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null |
  awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
[ -n "$kernel_package" ] || skip "apt-cache knows no linux-image-amd64"
kernel=$vm/$kernel_package
if [ ! -d "$kernel/boot" ]; then
  mkdir -p "$vm/download"
  (cd "$vm/download" && rm -f ./*.deb && apt-get download -q "$kernel_package" >/dev/null 2>&1) ||
    skip "apt-get download $kernel_package failed"
  rm -rf "$kernel.part"
  dpkg-deb -x "$vm"/download/"$kernel_package"_*.deb "$kernel.part"
  mv "$kernel.part" "$kernel"
  rm -rf "$vm/download"
fi
vmlinuz=$(ls "$kernel"/boot/vmlinuz-*)
modules=$(ls -d "$kernel"/lib/modules/*)

echo "== the kernel's serial drivers in a guest ($kernel_package, QEMU TCG)"
started=$(date +%s)
work=$vm/run
rm -rf "$work"
mkdir -p "$work/root"/{bin,etc,lib/modules,work,proc,sys,dev,tmp} "$work/out" "$work/host"

# A varied image of 5 blocks, the same on every run.
RANDOM=24
escapes=""
for ((i = 0; i < 9000; i++)); do
  printf -v byte '\\x%02x' $((RANDOM % 256))
  escapes+=$byte
done
printf "$escapes" >"$work/fw.bin"
srec_cat "$work/fw.bin" -binary -o "$work/fw.hex" -intel -output_block_size=16
cp "$work/fw.hex" "$work/root/work/fw.hex"

# The initramfs.
root=$work/root
cp "$busybox" "$root/bin/busybox"
cp "$build/brelwick" "$root/bin/brelwick"
for library in $(ldd "$build/brelwick" | grep -o '/[^ ]*'); do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done
for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  cp "$(find "$modules" -name "$module.ko")" "$root/lib/modules/"
done
cp scripts/vm-guest.sh "$root/init"
chmod 755 "$root/init"
printf 'root:x:0:0:root:/:/bin/sh\noperator:x:1000:1000:operator:/work:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\ndialout:x:20:\noperator:x:1000:\n' >"$root/etc/group"
printf 'SERIAL_A=%s\nSERIAL_B=%s\nSERIAL_C=%s\n' "$SERIAL_A" "$SERIAL_B" "$SERIAL_C" >"$root/etc/vm.env"
chmod 755 "$root/work"
chmod 644 "$root/work/fw.hex"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# What the same update says against the same unit here: the guest's runs must say the same.
# What reaches a unit from one update that it stops answering, and from one it lets finish.
(cd "$work/root/work" && "$build/unit-sim" --rx "$work/host/ref-flash.rx" -- "$build/brelwick" -q \
  -c {port} -f fw.hex >"$work/host/flash.out" 2>/dev/null)
(cd "$work/root/work" && "$build/unit-sim" --silent-from 1:100 --rx "$work/host/ref-dies.rx" -- \
  "$build/brelwick" -q -c {port} -f fw.hex >/dev/null 2>&1) || true

mkfifo "$work/console.in" "$work/console.out" "$work/monitor.in" "$work/monitor.out"
exec 3<>"$work/console.in" 4<>"$work/console.out" 5<>"$work/monitor.in" 6<>"$work/monitor.out"
cat <&6 >"$work/monitor.log" &
monitor_reader=$!
qemu-system-x86_64 -accel tcg -m 384 -display none -no-reboot -nodefaults -S \
  -kernel "$vmlinuz" -initrd "$work/initrd.gz" -append "console=ttyS0 panic=-1 quiet" \
  -chardev pipe,id=console,path="$work/console" -serial chardev:console \
  -monitor pipe:"$work/monitor" \
  -device qemu-xhci,id=xhci \
  -chardev pty,id=a -device usb-serial,id=a,serial=$SERIAL_A,chardev=a \
  -chardev pty,id=b -device usb-serial,id=b,serial=$SERIAL_B,chardev=b \
  -chardev pty,id=c -device usb-serial,id=c,serial=$SERIAL_C,chardev=c \
  -chardev pty,id=s1 -device isa-serial,chardev=s1 \
  -chardev pty,id=s2 -device isa-serial,chardev=s2 \
  >"$work/qemu.said" 2>"$work/qemu.err" &
qemu=$!

declare -A pty=() sim=()
sims=()
cleanup() {
  local pid
  for pid in "${sims[@]}" "$qemu" "$monitor_reader"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap cleanup EXIT

for ((i = 0; i < 100 && ${#pty[@]} < 5; i++)); do
  # QEMU names each pty on its standard output.
  while read -r path label; do
    pty[$label]=$path
  done < <(awk '/^char device redirected to/ {print $5, substr($7, 1, length($7) - 1)}' "$work/qemu.said")
  sleep 0.1
done
[ ${#pty[@]} -eq 5 ] || { cat "$work/qemu.err" >&2; echo "FAILED: QEMU made no ptys" >&2; exit 1; }

# The units, one a line, each with the behaviour its checks need, all there before the guest
# starts: QEMU looks for a program on a pty's far side once a second, and until it has seen one
# it drops what the guest sends.
start_sim() {
  local tag=$1
  shift
  (cd "$work/host" && exec "$build/unit-sim" "$@" --line "${pty[$tag]}") \
    >"$work/host/sim-$tag.said" 2>"$work/host/sim-$tag.err" &
  sim[$tag]=$!
  sims+=("${sim[$tag]}")
}
start_sim a --out flash-usb.bin
start_sim b --silent-from 1:100 --rx dies.rx
start_sim c --baud 19200 --rx pulled.rx
start_sim s1 --out flash-ttyS1.bin
start_sim s2 --baud 19200
sleep 1.5
echo "cont" >&5

# Serves the guest until it says it is done, QEMU ends, or 200 s pass.
file=""
deadline=$(($(date +%s) + 200))
while true; do
  if ! IFS= read -r -t 1 line <&4; then
    if ! kill -0 "$qemu" 2>/dev/null; then
      echo "FAILED: the guest ended before it was done (its console: $work/console.log)" >&2
      break
    elif [ "$(date +%s)" -ge "$deadline" ]; then
      echo "FAILED: the guest did not finish in 200 s" >&2
      break
    fi
    continue
  fi
  line=${line%$'\r'}
  if [ -n "$file" ]; then
    if [ "$line" = "@@ENDFILE" ]; then
      file=""
    else
      echo "$line" >>"$work/out/$file.b64"
    fi
    continue
  fi
  read -r -a word <<<"$line"
  case "${word[0]:-}" in
  @@FILE) file=${word[1]} && : >"$work/out/$file.b64" ;;
  @@UNPLUG) echo "device_del ${word[1]}" >&5 && echo go >&3 ;;
  @@NOTE) echo "guest: ${line#@@NOTE }" ;;
  @@DONE) break ;;
  *) echo "$line" >>"$work/console.log" ;;
  esac
done
for encoded in "$work"/out/*.b64; do
  [ -e "$encoded" ] && base64 -d "$encoded" >"${encoded%.b64}"
done
# The guest powers itself off once done; one that hangs is stopped.
for ((i = 0; i < 100; i++)); do
  kill -0 "$qemu" 2>/dev/null || break
  sleep 0.1
done
kill "$qemu" 2>/dev/null || true
wait "$qemu" 2>/dev/null || true
# The units that finished have ended; the others wait for more, as a unit would.
for tag in "${!sim[@]}"; do
  kill -TERM "${sim[$tag]}" 2>/dev/null || true
  status=0
  wait "${sim[$tag]}" || status=$?
  echo "$status" >"$work/host/sim-$tag.status"
done

# ---- The checks ----
failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok - $what"
  else
    echo "FAILED - $what"
    failed=$((failed + 1))
  fi
}
out() { cat "$work/out/$1" 2>/dev/null; }
status_is() { [ "$(out "$1.status")" = "$2" ]; }
said() { grep -qF -- "$2" "$work/out/$1" 2>/dev/null; }
same_stty() { [ -s "$work/out/$1.stty-before" ] && cmp -s "$work/out/$1.stty-before" "$work/out/$1.stty-after"; }
unit_held() { [ "$(cat "$work/host/sim-$1.status")" = 0 ] && grep -q "every block's check value held" "$work/host/sim-$1.err"; }

for serial in $SERIAL_A $SERIAL_B $SERIAL_C; do
  check "-l lists the adapter $serial with its serial number" \
    grep -qE "^ttyUSB[0-9]+ +USB serial adapter 0403:6001 .*serial $serial" "$work/out/list.out"
done
check "-l lists ttyS0 and ttyS1" \
  eval 'grep -q "^ttyS0 " "$work/out/list.out" && grep -q "^ttyS1 " "$work/out/list.out"'

for run in flash-usb:a flash-ttyS1:s1; do
  tag=${run#*:} run=${run%:*}
  check "$run: status 0" status_is $run 0
  check "$run: console text as against a pseudo-terminal" cmp -s "$work/out/$run.out" "$work/host/flash.out"
  check "$run: the unit's flash holds the image byte for byte" cmp -s "$work/fw.bin" "$work/host/$run.bin"
  check "$run: the unit saw every block's check value hold" unit_held $tag
done
check "flash-ttyS1: stty -g the same before and after" same_stty flash-ttyS1

check "-c usb among two adapters: two present" eval '[ "$(out usb-two.adapters | wc -l)" = 2 ]'
check "-c usb among two adapters: refused with status 1" status_is usb-two 1
check "-c usb among two adapters: both named as matching" \
  said usb-two.out "Several USB serial adapters match usb"
# Had anything gone down those lines, the units' first bytes would differ from one update's.
check "-c usb among two adapters: nothing sent down either line" \
  cmp -s "$work/host/dies.rx" "$work/host/ref-dies.rx"

check "a user outside the port's group: status 1" status_is denied 1
check "a user outside the port's group: code 13" \
  grep -qE '^Error Opening ttyUSB[0-9]+\.\.\. 13$' "$work/out/denied.out"
check "a user outside the port's group: the group named" \
  eval 'cat "$work/out/denied.out" "$work/out/denied.err" | grep -q "in the group dialout"'

check "a port already held: status 1, code 16" \
  eval 'status_is busy 1 && grep -qx "Error Opening ttyS2... 16" "$work/out/busy.out"'
check "terminated mid-transfer: status 3" status_is terminated 3
check "terminated mid-transfer: UPDATE INTERRUPTED" said terminated.out "UPDATE INTERRUPTED"
check "terminated mid-transfer: the line given back (stty -g the same)" same_stty terminated

check "a unit that dies mid-block: status 3" status_is dies 3
# Byte 100's echo is the first missing, byte 101's the second: no echo, nothing to compare.
check "a unit that dies mid-block: STOPPED ANSWERING named at the second missing echo" \
  said dies.out "CRITICAL - THE UNIT STOPPED ANSWERING AT BYTE 101 OF BLOCK 1"
check "a unit that dies mid-block: no mismatch made up from the byte before" \
  eval '! said dies.out "mismatch"'
check "a unit that dies mid-block: the line given back (stty -g the same)" same_stty dies

check "an adapter pulled out mid-block: status 3" status_is pulled 3
check "an adapter pulled out mid-block: the line named lost" \
  said pulled.out "CRITICAL - THE LINE TO THE UNIT WAS LOST"
# The line before the loss is a block's header: the adapter went in the middle of its data.
check "an adapter pulled out mid-block: it was in a block" \
  eval 'grep -B1 "THE LINE TO THE UNIT WAS LOST" "$work/out/pulled.out" | head -1 | grep -qE "^02 [0-9a-f]{2} 08 00"'
check "an adapter pulled out mid-block: ended within 3 s ($(out pulled.centiseconds)0 ms)" \
  eval '[ "$(out pulled.centiseconds)" -le 300 ]'
check "an adapter pulled out mid-block: its unit got what one update sends, no more" \
  eval '[ -s "$work/host/pulled.rx" ] && cmp -s -n "$(stat -c %s "$work/host/pulled.rx")" "$work/host/pulled.rx" "$work/host/ref-flash.rx"'

echo "the guest stage took $(($(date +%s) - started)) s"
if [ "$failed" -gt 0 ]; then
  echo "FAILED: $failed checks in the guest failed; what the runs said is in $work/out" >&2
  exit 1
fi
