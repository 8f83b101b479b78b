#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the README's commands on another Debian release, as a new user of that release would:
# in a chroot that holds only the release's own packages and the README's prerequisites, each
# step in a fresh clone of the committed HEAD and inside a network namespace of its own.
#
#   scripts/test-release.sh [--arch ARCH] SUITE [STEP...]
#
# SUITE is a Debian codename (bullseye, bookworm, trixie); ARCH defaults to the host's, and
# arm64 on an amd64 host runs through qemu-user-static and binfmt_misc. Steps (default: demo):
#   demo          the README's demo command
#   test          the README's test command (needs CMake 3.25)
#   plain         configure, build, ctest and install, strict, warnings as errors
#   plain-clang   the same with clang++
#   plain-extras  the same with the benchmark and the static client switched on
#   loose         configure, build, ctest and install, neither strict nor warnings as errors
#   package       scripts/check-package.sh: three package builds, blhc and lintian
#   autopkgtest   the package's autopkgtest, on a throwaway overlay of the chroot
#   upgrade       1.1.0's package, then this one over it, then removal, on a throwaway overlay
# Each step is reported on one line; its whole output goes to a log beside the chroot.
#
# The chroot is kept between runs under $GREETING_CHROOTS (default ~/.cache/greeting/chroots).
# Needs root, debootstrap, git, unshare and ip (and qemu-user-static for a foreign ARCH). Every
# mount lives inside `unshare -m`, so none outlives the run; nothing touches the host's package
# database or its port 8080.
set -euo pipefail

arch=$(dpkg --print-architecture)
if [[ ${1:-} == --arch ]]; then
  arch=${2:?--arch needs an architecture}
  shift 2
fi
suite=${1:?usage: scripts/test-release.sh [--arch ARCH] SUITE [STEP...]}
shift
steps=("${@:-demo}")
repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${GREETING_CHROOTS:-${XDG_CACHE_HOME:-$HOME/.cache}/greeting/chroots}
root=$cache/$suite-$arch
mirror=${GREETING_MIRROR:-http://deb.debian.org/debian}
security=${GREETING_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
step_timeout=${GREETING_STEP_TIMEOUT:-3600}
clean_env=(env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
  LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive)

say() { printf '%s/%s %s\n' "$suite" "$arch" "$*"; }

# The README's own lines, so that what is tried is what a user reads.
readme_line() { # pattern
  local line
  line=$(grep -m1 -E "^    $1" "$repo/README.md") || { say "README: no line matching '$1'" >&2; exit 2; }
  echo "${line#    }"
}
prerequisites=$(readme_line 'sudo apt-get install ')
prerequisites=${prerequisites#sudo }

# Runs a command twice at most: a download that failed once may go through the second time.
retry() { # log, command...
  local log=$1
  shift
  "$@" >>"$log" 2>&1 && return 0
  echo "--- retrying once" >>"$log"
  "$@" >>"$log" 2>&1
}

# Runs shell commands in the chroot, with proc, sys and dev mounted for them only: the first
# (if any) with the host's network, for downloads, then the second (if any) in a network
# namespace of its own. With `throwaway` set, both work on an overlay of the chroot held in
# memory, which goes with the mount namespace.
in_chroot() { # online command, offline command
  timeout "$step_timeout" unshare -m --propagation private -- /bin/sh -ec '
    root=$1 online=$2 offline=$3 throwaway=$4
    shift 4
    if [ -n "$throwaway" ]; then
      mount -t tmpfs tmpfs "$root.throwaway"
      mkdir "$root.throwaway/upper" "$root.throwaway/work" "$root.throwaway/root"
      mount -t overlay overlay -o "lowerdir=$root,upperdir=$root.throwaway/upper,workdir=$root.throwaway/work" "$root.throwaway/root"
      root=$root.throwaway/root
    fi
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    [ -z "$online" ] || chroot "$root" "$@" /bin/sh -ec "$online"
    [ -z "$offline" ] || exec unshare -n -- /bin/sh -ec "ip link set lo up; exec chroot \"\$@\"" \
      offline "$root" "$@" /bin/sh -ec "$offline"' in-chroot "$root" "$1" "$2" "${throwaway:-}" \
    "${clean_env[@]}"
}

mkdir -p "$cache"
exec 9>"$root.lock"
flock -n 9 || { say "another run holds $root" >&2; exit 2; }

if [[ ! -e $root/.greeting-bootstrapped ]]; then
  log=$root.debootstrap.log
  : >"$log"
  rm -rf "$root"
  # debootstrap mounts proc and sys into the target itself: in a namespace, they go with it.
  if ! retry "$log" unshare -m --propagation private -- \
    debootstrap --variant=minbase --arch="$arch" "$suite" "$root" "$mirror"; then
    say "debootstrap: download or install failed twice, see $log"
    exit 1
  fi
  cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
EOF
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"
  touch "$root/.greeting-bootstrapped"
  say "debootstrap: done"
fi

if [[ $(cat "$root/.greeting-prerequisites" 2>/dev/null) != "$prerequisites" ]]; then
  log=$root.apt.log
  : >"$log"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  if ! retry "$log" in_chroot "apt-get update && apt-get upgrade -y && ${prerequisites/install/install -y --no-install-recommends}" ""; then
    say "prerequisites: download or install failed twice, see $log"
    exit 1
  fi
  echo "$prerequisites" >"$root/.greeting-prerequisites"
  say "prerequisites: installed ($prerequisites)"
fi

plain='cmake -S . -B build $options
cmake --build build -j2
(cd build && ctest --output-on-failure -j2)
cmake --install build --prefix /tmp/greeting-prefix
test -x /tmp/greeting-prefix/bin/client'
strict='-DGREETING_STRICT_TESTS=ON -DCMAKE_CXX_FLAGS=-Werror'
deb='DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b >/dev/null
deb=$(echo ../greeting_*_$(dpkg --print-architecture).deb)'
# Every path but the package manager's own records, before installing and after removing.
paths='find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /tmp -o -path /root -o \
  -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log \) -prune -o \
  -print | sort'
# The commit before the one that left 1.1.0 is the one that released it.
released=$(git -C "$repo" log -1 --format=%H -G'VERSION 1\.1\.0' -- CMakeLists.txt)^

failed=0
for step in "${steps[@]}"; do
  online='' throwaway=''
  case $step in
    demo) command=$(readme_line './scripts/demo') ;;
    test) command=$(readme_line 'cmake --workflow ') ;;
    plain) command="options='$strict'; $plain" ;;
    plain-clang) command="export CXX=clang++; options='$strict'; $plain" ;;
    plain-extras) command="options='$strict -DGREETING_BENCH=ON -DGREETING_STATIC_CLIENT=ON'; $plain" ;;
    loose) command="options=; $plain" ;;
    package) command=scripts/check-package.sh ;;
    autopkgtest)
      throwaway=1
      online='apt-get update && apt-get install -y --no-install-recommends autopkgtest iproute2'
      command="$deb; autopkgtest \"\$deb\" . -- null" ;;
    upgrade)
      throwaway=1
      command="$deb
        (cd ../greeting-1.1.0 && cmake -S . -B build -DBUILD_TESTING=OFF && cmake --build build -j2 &&
          cd build && cpack -G DEB)
        $paths >/tmp/before
        apt-get install -y ../greeting-1.1.0/build/greeting_1.1.0_*.deb
        greeting-peer --version | grep -x 'greeting-peer (greeting) 1.1.0'
        apt-get install -y \"\$deb\"
        greeting-peer --version | grep -x 'greeting-peer (greeting) 1.2.0'
        apt-get remove -y greeting
        $paths >/tmp/after
        diff /tmp/before /tmp/after" ;;
    *) say "unknown step '$step'" >&2; exit 2 ;;
  esac
  log=$root.$step.log
  work=$root/root/greeting
  rm -rf "$work" "$work-1.1.0" "$root"/root/greeting_* "$root/tmp/greeting-prefix"
  git clone -q --no-hardlinks "$repo" "$work"
  if [[ $step == upgrade ]]; then
    git clone -q --no-hardlinks "$repo" "$work-1.1.0"
    git -C "$work-1.1.0" checkout -q "$released"
  fi
  mkdir -p "$root.throwaway"
  start=$SECONDS
  if throwaway=$throwaway in_chroot "$online" "cd /root/greeting; $command" >"$log" 2>&1; then
    say "$step: passed in $((SECONDS - start)) s"
  else
    say "$step: FAILED (exit $?) in $((SECONDS - start)) s, see $log"
    failed=1
  fi
done
exit $failed
