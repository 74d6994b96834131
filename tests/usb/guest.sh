# A small Linux guest with a real USB-serial adapter, for the USB stage.
# Sourced by run-usb-tests.sh. Debian's own kernel (fetched, unpacked, never
# installed) boots under qemu from an initramfs of busybox, the USB modules and
# the programs under test. qemu's FTDI adapter on an xHCI controller carries
# the guest's /dev/ttyUSB0 to a serial device on the host, radiosim's link;
# the guest's kernel drives it with the real ftdi_sio driver.
#
# The guest takes commands on its second serial port and answers each with
# its output and a line "@@done ID CODE"; its console (the kernel's messages)
# goes to a file. qemu's monitor unplugs and plugs the adapter back, which the
# guest's kernel sees as a cable pulled and put back.
#
# Every wait is bounded; guest_stop ends what guest_boot started, by its id.

guest_work=""      # folder of this run's files
guest_pid=""       # qemu
guest_mon_pid=""   # socat on the monitor socket
guest_in=""        # descriptor: commands to the guest
guest_mon=""       # descriptor: commands to the monitor
guest_out=""       # descriptor: the guest's answers
guest_seq=0
guest_accel=""
guest_kernel_name=""
GUEST_OUT=""       # file with the output of the last command
GUEST_RC=""        # its exit code (124 when it did not end in time)
GUEST_MATCH_MS=""  # when the line guest_expect looked for came (guest_now_ms)

guest_cache_dir() {
  if [ "$(id -u)" -eq 0 ]; then
    echo /var/cache/ostrelle-usb
  else
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/ostrelle-usb"
  fi
}

guest_now_ms() { echo $(( ${EPOCHREALTIME/./} / 1000 )); }

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# The versioned package that linux-image-amd64 stands for, as "NAME VERSION".
guest_kernel_package() {
  local name version
  name=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
  [ -n "$name" ] || return 1
  version=$(apt-cache policy "$name" 2>/dev/null | awk '$1 == "Candidate:" { print $2 }')
  [ -n "$version" ] && [ "$version" != "(none)" ] || return 1
  echo "$name $version"
}

# Unpacks the kernel and the modules that `guest_modules` need, with their
# dependencies as each module's own "depends=" names them, in load order.
guest_unpack_kernel() { # deb, destination
  local deb=$1 dest=$2 tree=$2/tree
  mkdir -p "$tree" "$dest/modules"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tree" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/usb/*'
  mv "$tree"/boot/vmlinuz-* "$dest/vmlinuz"
  declare -A file=() seen=()
  local f m
  while IFS= read -r f; do
    m=$(basename "$f"); m=${m%%.ko*}; file[${m//-/_}]=$f
  done < <(find "$tree/lib/modules" -name '*.ko*')
  local order=()
  add_module() {
    local key=${1//-/_} deps d
    [ -z "${seen[$key]:-}" ] || return 0
    seen[$key]=1
    [ -n "${file[$key]:-}" ] || { echo "module $1 is not under drivers/usb of the kernel package" >&2; return 1; }
    deps=$(xz -dcf "${file[$key]}" | tr '\0' '\n' | sed -n 's/^depends=//p' | tr ',' ' ')
    for d in $deps; do add_module "$d" || return 1; done
    order+=("$key")
  }
  for m in $guest_modules; do add_module "$m" || return 1; done
  local n=10
  for m in "${order[@]}"; do
    xz -dcf "${file[$m]}" >"$dest/modules/$n-$m.ko"
    n=$((n + 1))
  done
  rm -rf "$tree"
}

# Sets guest_kernel_dir to a folder with vmlinuz and modules/, from the cache
# when the current kernel package is there, else fetched with apt-get.
guest_modules="usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio"
guest_fetch_kernel() {
  local cache package name version dir tmp
  cache=$(guest_cache_dir)
  mkdir -p "$cache"
  package=$(guest_kernel_package) || { as_root apt-get update -qq; package=$(guest_kernel_package) || true; }
  if [ -z "$package" ]; then
    # Offline: the newest kernel already in the cache will do.
    dir=$(ls -d "$cache"/linux-image-*/ 2>/dev/null | sort -V | tail -n 1)
    [ -n "$dir" ] && [ -f "$dir/complete" ] || { echo "no kernel package known to apt and none cached" >&2; return 1; }
    guest_kernel_dir=${dir%/}
    guest_kernel_name="$(basename "$guest_kernel_dir") (cached; apt knows no kernel package)"
    return 0
  fi
  read -r name version <<<"$package"
  dir=$cache/${name}_$version
  guest_kernel_name="$name $version"
  if [ ! -f "$dir/complete" ]; then
    tmp=$(mktemp -d "$cache/.fetch.XXXXXX")
    if ! (cd "$tmp" && apt-get download -qq "$name=$version" 2>/dev/null); then
      # A stale package list names a file the mirror no longer has.
      as_root apt-get update -qq
      (cd "$tmp" && apt-get download -qq "$name=$version" 2>/dev/null) || { rm -rf "$tmp"; echo "apt-get download $name=$version failed" >&2; return 1; }
    fi
    guest_unpack_kernel "$tmp"/*.deb "$tmp/kernel" || { rm -rf "$tmp"; return 1; }
    rm -rf "$dir"
    mv "$tmp/kernel" "$dir"
    rm -rf "$tmp"
    touch "$dir/complete"
    guest_kernel_name+=" (fetched)"
    # Only the current kernel is kept.
    find "$cache" -mindepth 1 -maxdepth 1 -name 'linux-image-*' ! -path "$dir" -exec rm -rf {} +
  else
    guest_kernel_name+=" (cached)"
  fi
  guest_kernel_dir=$dir
}

# The guest's first process: modules in, the adapter awaited, then commands.
guest_init_script() {
  cat <<'EOF'
#!/bin/busybox sh
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin
export PATH=/bin
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp
for m in /lib/modules/*.ko; do insmod "$m" || echo "insmod $m failed"; done
i=0
while [ ! -e /dev/ttyUSB0 ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
exec </dev/ttyS1 >/dev/ttyS1 2>&1
stty raw -echo 115200
echo "@@ready $(ls /dev/ttyUSB* 2>/dev/null)"
while read -r id cmd; do
  sh -c "$cmd" </dev/null
  echo "@@done $id $?"
done
poweroff -f
EOF
}

# Writes an initramfs with busybox, the modules and the given programs with
# the shared libraries ldd finds for them.
guest_build_initramfs() { # output, programs...
  local out=$1 root lib prog
  shift
  root=$(mktemp -d "$guest_work/root.XXXXXX")
  chmod 755 "$root" # the guest's /, which users other than root must cross
  mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/modules}
  cp /bin/busybox "$root/bin/busybox"
  cp "$guest_kernel_dir"/modules/*.ko "$root/lib/modules/"
  for prog in "$@"; do
    # Without their debugging sections the guest loads them in a fraction
    # of the time.
    strip --strip-debug -o "$root/bin/$(basename "$prog")" "$prog"
    for lib in $(ldd "$prog" | awk '{ for (i = 1; i <= NF; ++i) if ($i ~ /^\//) print $i }'); do
      mkdir -p "$root$(dirname "$lib")"
      strip --strip-debug -o "$root$lib" "$lib"
    done
  done
  guest_init_script >"$root/init"
  chmod 755 "$root/init"
  (cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) >"$out"
  rm -rf "$root"
}

# Boots the guest with the adapter's far end at `serial_path`; returns once
# the guest takes commands (its ready line is in GUEST_OUT).
guest_boot() { # initramfs, serial path
  local accel=(-accel tcg)
  # KVM only where it works; /dev/kvm can be present on a processor without
  # the extensions, where qemu would fail.
  if [ -r /dev/kvm ] && [ -w /dev/kvm ] && grep -qE '\b(vmx|svm)\b' /proc/cpuinfo; then
    accel=(-accel kvm -accel tcg)
  fi
  mkfifo "$guest_work/cmd.in" "$guest_work/cmd.out" "$guest_work/mon.in"
  exec {guest_in}<>"$guest_work/cmd.in" {guest_out}<>"$guest_work/cmd.out"
  qemu-system-x86_64 "${accel[@]}" -m 256 -smp 1 -nodefaults -no-user-config -display none -no-reboot \
    -kernel "$guest_kernel_dir/vmlinuz" -initrd "$1" -append "console=ttyS0 panic=-1 loglevel=6" \
    -serial "file:$guest_work/console.log" \
    -chardev "pipe,id=cmd,path=$guest_work/cmd" -serial chardev:cmd \
    -monitor "unix:$guest_work/monitor,server,nowait" \
    -device qemu-xhci,id=xhci -chardev "serial,id=c0,path=$2" -device usb-serial,chardev=c0,id=usb0 \
    >"$guest_work/qemu.log" 2>&1 &
  guest_pid=$!
  local i
  for i in $(seq 100); do [ -S "$guest_work/monitor" ] && break; sleep 0.05; done
  exec {guest_mon}<>"$guest_work/mon.in"
  socat STDIO "UNIX-CONNECT:$guest_work/monitor" <&"$guest_mon" >"$guest_work/monitor.log" 2>&1 &
  guest_mon_pid=$!
  GUEST_OUT=$guest_work/boot.out
  : >"$GUEST_OUT"
  guest_expect '^@@ready' 120 || return 1
  guest_monitor "info kvm"
  for i in $(seq 40); do grep -q 'kvm support' "$guest_work/monitor.log" && break; sleep 0.05; done
  if grep -q 'kvm support: enabled' "$guest_work/monitor.log"; then guest_accel=KVM; else guest_accel="TCG (software)"; fi
}

guest_monitor() { printf '%s\n' "$*" >&"$guest_mon"; }

# Reads the guest's lines into GUEST_OUT until one matches `pattern`; false
# after `seconds`.
guest_expect() { # pattern, seconds
  local deadline=$(( $(guest_now_ms) + $2 * 1000 )) left line
  while :; do
    left=$(( deadline - $(guest_now_ms) ))
    [ "$left" -gt 0 ] || return 1
    if IFS= read -r -t "$((left / 1000)).$(printf %03d $((left % 1000)))" line <&"$guest_out"; then
      printf '%s\n' "$line" >>"$GUEST_OUT"
      if [[ $line =~ $1 ]]; then
        GUEST_MATCH_MS=$(( ${EPOCHREALTIME/./} / 1000 ))
        return 0
      fi
    elif [ $? -le 128 ]; then
      return 1 # the channel closed: the guest is gone
    fi
  done
}

# Starts a command in the guest; its output gathers in GUEST_OUT.
guest_start() {
  guest_seq=$((guest_seq + 1))
  GUEST_OUT=$guest_work/out.$guest_seq
  : >"$GUEST_OUT"
  printf '%s %s\n' "$guest_seq" "$*" >&"$guest_in"
}

# Waits for the command of guest_start to end; sets GUEST_RC.
guest_finish() { # seconds
  if guest_expect "^@@done $guest_seq " "$1"; then
    GUEST_RC=$(tail -n 1 "$GUEST_OUT" | awk '{ print $3 }')
  else
    GUEST_RC=124
  fi
  return 0
}

guest_run() { # seconds, command
  local seconds=$1
  shift
  guest_start "$@"
  guest_finish "$seconds"
}

# The value after `name` in the last command's output ("-" when absent).
guest_value() {
  awk -v k="$1" '$1 == k { sub(/^[^ ]+ /, ""); print; found = 1; exit } END { if (!found) print "-" }' "$GUEST_OUT"
}

guest_stop() {
  if [ -n "$guest_pid" ]; then
    guest_monitor quit 2>/dev/null || true
    for _ in $(seq 40); do kill -0 "$guest_pid" 2>/dev/null || break; sleep 0.05; done
    kill "$guest_pid" 2>/dev/null || true
    wait "$guest_pid" 2>/dev/null || true
    guest_pid=""
  fi
  if [ -n "$guest_mon_pid" ]; then
    kill "$guest_mon_pid" 2>/dev/null || true
    wait "$guest_mon_pid" 2>/dev/null || true
    guest_mon_pid=""
  fi
}
