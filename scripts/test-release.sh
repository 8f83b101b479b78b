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

# Runs a shell command in the chroot, with proc, sys and dev mounted for that command only.
in_chroot() { # unshare options, command
  timeout "$step_timeout" unshare -m --propagation private $1 -- /bin/sh -ec '
    root=$1; shift
    [ -z "$GREETING_LOOPBACK" ] || ip link set lo up
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    exec chroot "$root" "$@"' in-chroot "$root" "${clean_env[@]}" /bin/sh -ec "$2"
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
  if ! retry "$log" in_chroot "" "apt-get update && apt-get upgrade -y && ${prerequisites/install/install -y --no-install-recommends}"; then
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

failed=0
for step in "${steps[@]}"; do
  case $step in
    demo) command=$(readme_line './scripts/demo') ;;
    test) command=$(readme_line 'cmake --workflow ') ;;
    plain) command="options='$strict'; $plain" ;;
    plain-clang) command="export CXX=clang++; options='$strict'; $plain" ;;
    plain-extras) command="options='$strict -DGREETING_BENCH=ON -DGREETING_STATIC_CLIENT=ON'; $plain" ;;
    loose) command="options=; $plain" ;;
    *) say "unknown step '$step'" >&2; exit 2 ;;
  esac
  log=$root.$step.log
  work=$root/root/greeting
  rm -rf "$work" "$root/tmp/greeting-prefix"
  git clone -q --no-hardlinks "$repo" "$work"
  start=$SECONDS
  if GREETING_LOOPBACK=1 in_chroot -n "cd /root/greeting; $command" >"$log" 2>&1; then
    say "$step: passed in $((SECONDS - start)) s"
  else
    say "$step: FAILED (exit $?) in $((SECONDS - start)) s, see $log"
    failed=1
  fi
done
exit $failed
