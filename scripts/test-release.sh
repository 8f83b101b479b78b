#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Tries the project on a Debian release as its users there would: each step in a fresh clone of
# the committed HEAD, in a tree of the release that holds its own packages and those of
# scripts/prerequisites, inside a network namespace of its own.
#
#   scripts/test-release.sh [--arch ARCH] SUITE [STEP...]
#
# SUITE is a Debian codename (bullseye, bookworm, trixie); ARCH defaults to the host's, and
# arm64 on an amd64 host runs through qemu-user-static and binfmt_misc. Steps (default: demo):
#   demo         scripts/demo.sh, the README's demo command
#   test         scripts/test.sh, the README's test command
#   loose        configure, build and ctest, neither strict nor with warnings as errors (for
#                arm64 under qemu-user, which refuses the seccomp filters of five cases)
#   buildd       sbuild builds the source package as Debian's build daemons do, in a tree of
#                SUITE with only the build dependencies, the suite and lintian included; it runs
#                on the host, as the kernel refuses user namespaces in a chroot
#   autopkgtest  the package's autopkgtest
#   upgrade      the package of each release in scripts/releases that has one, then this one
#                over it, then its removal, which must leave nothing behind
# autopkgtest and upgrade install packages only in an overlay of the tree held in memory.
# Each step is reported on one line; its whole output goes to a log beside the tree.
#
# The trees are kept under $GREETING_CHROOTS (default ~/.cache/greeting/chroots) and made again
# when scripts/prerequisites changes. Needs root, mmdebstrap, git, unshare and ip, and for
# buildd sbuild, uidmap and a subordinate id range for root (/etc/subuid, /etc/subgid). Every
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
sources=("deb $mirror $suite main" "deb $mirror $suite-updates main"
  "deb $security $suite-security main")
step_timeout=${GREETING_STEP_TIMEOUT:-3600}
clean_env=(env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
  LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive)
prerequisites=$(grep -v '^#' "$repo/scripts/prerequisites")

say() { printf '%s/%s %s\n' "$suite" "$arch" "$*"; }

# Makes a tree of the release with mmdebstrap, trying a failed download once more.
bootstrap() { # target, log, mmdebstrap options...
  local target=$1 log=$2
  shift 2
  : >"$log"
  for try in 1 2; do
    unshare -m --propagation private -- mmdebstrap --arch="$arch" "$@" "$suite" "$target" \
      "${sources[@]}" >>"$log" 2>&1 && return 0
  done
  say "mmdebstrap: failed twice, see $log"
  exit 1
}

# Runs shell commands in the tree, with proc, sys and dev mounted for them only: the first (if
# any) with the host's network, for downloads, then the second (if any) in a network namespace
# of its own. With `throwaway` set, both work on an overlay of the tree held in memory.
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

if [[ $(cat "$root/.greeting-prerequisites" 2>/dev/null) != "$prerequisites" ]]; then
  rm -rf "$root"
  bootstrap "$root" "$root.mmdebstrap.log" --variant=minbase --include="${prerequisites// /,}"
  echo "$prerequisites" >"$root/.greeting-prerequisites"
  say "tree: made with $prerequisites"
fi

# The source package of HEAD, built by sbuild in a tree of only what Debian's build daemons have,
# with the release's own lintian; the tree is made once, and brought up to date by sbuild.
buildd() (
  tarball=$cache/$suite-$arch.buildd.tar
  [[ -e $tarball ]] ||
    bootstrap "$tarball" "$root.buildd-mmdebstrap.log" --variant=buildd --skip=output/mknod --format=tar
  rm -rf "$root.buildd" && mkdir -p "$root.buildd/greeting" && cd "$root.buildd" &&
    git -C "$repo" archive HEAD | tar -x -C greeting && dpkg-source -b greeting &&
    # The changes are for SUITE, the changelog for Debian's unstable: as it should be.
    timeout "$step_timeout" sbuild --chroot-mode=unshare --chroot="$tarball" --dist="$suite" \
      --arch="$arch" --no-run-piuparts --no-run-autopkgtest --run-lintian --lintian-opts="--fail-on\
 error,warning --suppress-tags changelog-distribution-does-not-match-changes-file,distribution-and-changes-mismatch" \
      greeting_*.dsc &&
    # sbuild succeeds whatever lintian found, and says what it found in its summary.
    grep -qx 'Lintian: pass' greeting_*_"$arch".build && ! grep -q '\[  SKIPPED \]' greeting_*_"$arch".build
)

# Each released package that there is (scripts/releases), then this one over it, then removal,
# after which every path but the package manager's records must be as before.
upgrade='paths() {
    find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /tmp -o -path /root -o \
      -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log \) -prune \
      -o -print | sort
  }
  installs() { # package, version
    apt-get install -y "$1" >/dev/null
    greeting-peer --version | grep -qxF "greeting-peer (greeting) $2"
  }
  DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b >/dev/null
  new=$(readlink -f ../greeting_*_$(dpkg --print-architecture).deb)
  paths >/tmp/before
  grep -v "^#" scripts/releases | while read -r version commit; do
    mkdir "/root/$version"
    git archive "$commit" | tar -x -C "/root/$version"
    cd "/root/$version"
    if [ -d debian ]; then
      DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b >/dev/null
    elif [ -f packaging/debian.cmake ]; then # before 1.2.0: CPack
      cmake -S . -B build -DBUILD_TESTING=OFF >/dev/null && cmake --build build -j2 >/dev/null
      (cd build && cpack -G DEB >/dev/null && mv greeting_*.deb /root/)
    fi
    cd /root/greeting
    old=$(ls /root/greeting_${version}_*.deb 2>/dev/null) || { echo "$version: no package"; continue; }
    installs "$old" "$version"
    installs "$new" "$(dpkg-deb -f "$new" Version)"
    apt-get remove -y greeting >/dev/null
    paths | diff /tmp/before -
    echo "$version: upgraded and removed"
  done'

in_tree() { throwaway=$throwaway in_chroot "$online" "cd /root/greeting; $command"; }

failed=0
for step in "${steps[@]}"; do
  online='' throwaway='' command='' runner=in_tree
  case $step in
    demo) command=scripts/demo.sh ;;
    test) command=scripts/test.sh ;;
    loose) command='cmake -S . -B build && cmake --build build -j2 && cd build && ctest -j2 --output-on-failure' ;;
    buildd) runner=buildd ;;
    autopkgtest)
      throwaway=1
      online='apt-get update && apt-get install -y --no-install-recommends autopkgtest iproute2'
      command='DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b >/dev/null
        autopkgtest ../greeting_*.deb . -- null' ;;
    upgrade) throwaway=1 command=$upgrade ;;
    *) say "unknown step '$step'" >&2; exit 2 ;;
  esac
  log=$root.$step.log
  work=$root/root/greeting
  rm -rf "$root"/root/* "$root/tmp/"*
  git clone -q --no-hardlinks "$repo" "$work"
  mkdir -p "$root.throwaway"
  start=$SECONDS
  if $runner >"$log" 2>&1; then
    say "$step: passed in $((SECONDS - start)) s"
  else
    say "$step: FAILED (exit $?) in $((SECONDS - start)) s, see $log"
    failed=1
  fi
done
exit $failed
