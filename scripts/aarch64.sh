# Sourced after env.sh by the commands that build for aarch64 and run what they built here, on an
# x86_64 Debian 12 or 13 machine, from Debian's own packages:
#   ensure_cross       Debian's g++-aarch64-linux-gnu (g++ 12, with <expected>) and debootstrap
#   ensure_emulator    QEMU: qemu-aarch64 from Debian 13's qemu-user (10.0). Debian 12's 7.2
#                      lacks the TCGETS2 ioctls that opening a serial port needs.
#   ensure_arm64_root  ARM64_ROOT: a Debian 13 arm64 root with python3.13 and its headers, which
#                      the module is built against and runs in (QEMU_LD_PREFIX)
#   ensure_arm64_gtest ARM64_GTEST: GoogleTest for aarch64, from Debian's sources of it
# (each makes what the variable names, when it is not there yet)
#   ensure_binfmt      the kernel starts aarch64 programs through QEMU, so that a program under
#                      emulation can start others (root; registered as "quillet-aarch64")
# They keep what they fetch and build under AARCH64_CACHE, shared by every checkout of the user.

AARCH64_CACHE="${QMC_AARCH64_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillet_motor_controller/aarch64}"
DEBIAN_MIRROR="${QMC_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
TOOLCHAIN="$ROOT/cmake/aarch64-linux-gnu.cmake"
QEMU="$AARCH64_CACHE/qemu-aarch64"
ARM64_ROOT="$AARCH64_CACHE/trixie-arm64"
ARM64_GTEST="$AARCH64_CACHE/gtest"

# One setup at a time per cache: two checkouts may prepare it at once.
with_cache_lock() {
  mkdir -p "$AARCH64_CACHE"
  (flock 9; "$@") 9>"$AARCH64_CACHE/.lock"
}

ensure_cross() {
  local missing=()
  command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing+=(g++-aarch64-linux-gnu)
  command -v debootstrap >/dev/null 2>&1 || missing+=(debootstrap)
  [ -d /usr/src/googletest ] || missing+=(googletest)
  if [ ${#missing[@]} -gt 0 ]; then apt_install "${missing[@]}"; fi
}

# apt with a state of its own, reading Debian 13 (trixie): the machine's own sources and state
# stay untouched.
trixie_apt() {
  local state="$AARCH64_CACHE/apt"
  mkdir -p "$state/lists/partial" "$state/archives/partial"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $DEBIAN_MIRROR trixie main" \
    >"$state/sources.list"
  apt-get -qq -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=- \
    -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state" -o Dir::State::Status=/dev/null \
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root "$@"
}

fetch_emulator() {
  [ -x "$QEMU" ] && return 0
  say "fetching qemu-aarch64 from Debian 13's qemu-user"
  local work="$AARCH64_CACHE/qemu.tmp"
  rm -rf "$work" && mkdir -p "$work"
  trixie_apt update
  (cd "$work" && trixie_apt download qemu-user)
  dpkg-deb --fsys-tarfile "$work"/qemu-user_*.deb | tar -x -C "$work" ./usr/bin/qemu-aarch64
  mkdir -p "$(dirname "$QEMU")"
  mv "$work/usr/bin/qemu-aarch64" "$QEMU"
  rm -rf "$work"
}

ensure_emulator() { with_cache_lock fetch_emulator; }

make_arm64_root() {
  [ -f "$ARM64_ROOT/.complete" ] && return 0
  say "building a Debian 13 arm64 root with Python 3.13 (debootstrap)"
  local work="$ARM64_ROOT.tmp"
  rm -rf "$work" "$ARM64_ROOT"
  # --foreign: nothing of the root runs here. The --include packages are only downloaded, so
  # every package is unpacked by hand (the base ones again, which changes nothing).
  debootstrap --variant=minbase --foreign --arch=arm64 \
    --include=python3.13,python3.13-venv,libpython3.13,libpython3.13-dev \
    trixie "$work" "$DEBIAN_MIRROR" >"$AARCH64_CACHE/debootstrap.log" 2>&1 ||
    { tail -20 "$AARCH64_CACHE/debootstrap.log" >&2; return 1; }
  local deb
  for deb in "$work"/var/cache/apt/archives/*.deb; do dpkg-deb -x "$deb" "$work"; done
  rm -rf "$work"/var/cache/apt/archives/*.deb
  # QEMU looks every path up in the root first: its own /dev, /proc, /sys, /tmp and /run would
  # hide the machine's (its /dev/ptmx is not a device, and pytest's temporary files are made in
  # the machine's /tmp).
  rm -rf "${work:?}"/{dev,proc,sys,tmp,run}
  touch "$work/.complete"
  mv "$work" "$ARM64_ROOT"
}

ensure_arm64_root() { with_cache_lock make_arm64_root; }

make_arm64_gtest() {
  [ -f "$ARM64_GTEST/lib/cmake/GTest/GTestConfig.cmake" ] && return 0
  say "building GoogleTest for aarch64"
  local build="$AARCH64_CACHE/gtest-build"
  rm -rf "$build"
  cmake -S /usr/src/googletest -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$ARM64_GTEST" \
    -Wno-dev >/dev/null
  cmake --build "$build" >/dev/null
  cmake --install "$build" >/dev/null
  rm -rf "$build"
}

ensure_arm64_gtest() { with_cache_lock make_arm64_gtest; }

# The magic and mask of an aarch64 ELF executable, as QEMU's own binfmt configuration has them;
# F: the kernel opens QEMU now, so it is found from any mount namespace or root.
ensure_binfmt() {
  local dir=/proc/sys/fs/binfmt_misc entry=/proc/sys/fs/binfmt_misc/quillet-aarch64
  [ -e "$dir/register" ] || as_root mount -t binfmt_misc binfmt_misc "$dir"
  if [ -e "$entry" ]; then
    grep -qx "interpreter $QEMU" "$entry" && return 0
    echo -1 | as_root tee "$entry" >/dev/null
  fi
  local magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
  local mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf ':quillet-aarch64:M::%s:%s:%s:F' "$magic" "$mask" "$QEMU" | as_root tee "$dir/register" >/dev/null
}

# Everything above, in order.
ensure_aarch64() {
  ensure_cross
  ensure_emulator
  ensure_arm64_root
}
