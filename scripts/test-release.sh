#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Tries the committed HEAD on a Debian release as its users there would, and as Debian's own
# packaging pipeline checks a package on every commit. Each step is reported on one line, with
# how it ran what it names in brackets; a failed step's line names its log and, where another
# file holds the cause (sbuild's log of the build, diffoscope's report, ctest's), that file.
#
#   scripts/test-release.sh [--arch ARCH] SUITE [STEP...]
#
# SUITE is a Debian codename (bullseye, bookworm, trixie); ARCH defaults to the host's. Each step
# says what it catches, and what it cannot:
#
# In a tree of SUITE holding scripts/prerequisites, in a fresh clone, with a network of its own:
#   demo          scripts/demo.sh (the default step)
#   test          scripts/test.sh
#   loose         configure, build and ctest, neither strict nor with warnings as errors
#   autopkgtest   the package's autopkgtest
#   upgrade       the package of each release in scripts/releases that has one, this one over
#                 it, then its removal, which must leave nothing behind
#   For another ARCH that the kernel cannot run, these register qemu-user on the host.
# The pipeline's jobs, with sbuild in unshare mode in a `buildd` tarball of SUITE:
#   buildd        the package for ARCH with the suite run inside, where no case may skip, and
#                 SUITE's lintian, which must find no error and no warning. Another ARCH runs
#                 natively where the kernel can, so the failures injected run too; else under
#                 qemu-user, where only the cases that inject failures may skip. Set
#                 GREETING_EMULATE=1 to take that path on a kernel that runs ARCH itself.
#   source        the source package alone
#   all           none: there is no Architecture: all package, and the pipeline skips the job
#   cross-HOST    cross-built for HOST as the pipeline does (nocheck), the suite built but not
#                 run, in one tarball that holds all of SUITE's architectures. Catches a build
#                 that runs a program it has built, which cannot run: from Linux 6.7 the job has
#                 a binfmt_misc of its own that refuses HOST's programs, whatever the host has
#                 registered and whatever it could run itself. Before 6.7 it cannot hide the
#                 host's entries: where one runs HOST's programs (or the kernel does) it fails,
#                 naming the entry, rather than pass blind.
#   piuparts      installed, removed and purged; the last release in scripts/releases, then
#                 this one over it
# On this machine, whose release SUITE must be for the steps that build here:
#   twice         dpkg-buildpackage twice in one clone, then debian/rules clean, after which
#                 git status --ignored must show nothing
#   reprotest     two builds, varied in every way that works as root without sudo, must be the
#                 same bytes; diffoscope reports a difference. A variation that cannot take
#                 effect here (num_cpus on 2 cores) is named in the line: it checked nothing.
#   missing-breaks  no package of SUITE or SUITE-updates ships a path of this one: the indexes
#                 of ARCH and of Architecture: all. Packages only in other archives are unseen.
#   wrap-and-sort debian/ is as `wrap-and-sort -ast` leaves it
#   qemu-HOST     the suite cross-built for HOST with CMake and run under qemu-user, where
#                 only the cases that inject failures may skip (qemu refuses seccomp filters).
#                 From Linux 6.7 the emulator is registered in a binfmt_misc of the step's own,
#                 asked before the kernel's loaders, so it runs even where the kernel could run
#                 HOST itself, and nothing stays registered on the host. Before 6.7 a HOST the
#                 kernel runs runs natively (the line says so); another is registered on the
#                 host and stays, where a cross-HOST job after it then fails, as above.
#
# Tarballs and trees are kept under $GREETING_CHROOTS (default ~/.cache/greeting/chroots); the
# tree is made again when scripts/prerequisites changes. Needs root, mmdebstrap, git, unshare
# and ip; sbuild and uidmap for its steps (a subordinate id range for root is added once);
# piuparts, reprotest, diffoscope, disorderfs, faketime, devscripts, arch-test, and for
# qemu-HOST the cross compiler, qemu-user-static and googletest. Every mount lives inside
# `unshare -m`, so none outlives the run. Besides binfmt_misc where the kernel has none per user
# namespace and root's subordinate ids, nothing of the host changes: not its package database,
# nor its port 8080.
set -euo pipefail
shopt -s inherit_errexit

arch=$(dpkg --print-architecture)
host_arch=$arch
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
# The security archive's indexes for the other architectures lag behind, and some are broken:
# only a tree of the host's architecture alone takes them.
sources=("deb $mirror $suite main" "deb $mirror $suite-updates main")
native_sources=("${sources[@]}")
[[ $arch != "$host_arch" ]] || native_sources+=("deb $security $suite-security main")
# Every architecture Debian builds for; riscv64 from trixie on.
architectures=(amd64 arm64 armel armhf i386 ppc64el riscv64 s390x)
[[ $suite != bullseye && $suite != bookworm ]] || architectures=("${architectures[@]/riscv64/}")
step_timeout=${GREETING_STEP_TIMEOUT:-3600}
clean_env=(env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
  LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive)
prerequisites=$(grep -v '^#' "$repo/scripts/prerequisites")

say() { printf '%s/%s %s\n' "$suite" "$arch" "$*"; }

# The binfmt_misc rule that runs CPU's programs under qemu-user, as one line: the kernel takes a
# rule only whole, in one write.
qemu_rule() { # cpu
  if [[ -e /usr/lib/binfmt.d/qemu-$1.conf ]]; then
    head -n 1 "/usr/lib/binfmt.d/qemu-$1.conf"
  else # qemu-user-static leaves i386 out on amd64, whose kernels mostly run it
    printf '%s%s\n' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:' \
      '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F'
  fi
}
# A rule that keeps CPU's programs from running at all: binfmt_misc is asked before the kernel's
# own loaders, so this also holds where the kernel could run them itself.
refuse_rule() { # cpu
  qemu_rule "$1" | awk -F: -v OFS=: '{ $2 = "refuse-" $2; $7 = "/bin/false"; $8 = "F"; print }'
}
qemu_cpu() { # architecture
  case $(dpkg-architecture -a"$1" -qDEB_HOST_GNU_CPU 2>/dev/null) in
    i686) echo i386 ;;
    powerpc64le) echo ppc64le ;;
    *) dpkg-architecture -a"$1" -qDEB_HOST_GNU_CPU 2>/dev/null ;;
  esac
}
# Whether ARCH's programs run here without an emulator. GREETING_EMULATE=1 says no for any
# architecture but the host's, to try the emulated path on a kernel that runs ARCH itself.
native() { # architecture
  [[ $1 == "$host_arch" ]] ||
    { [[ -z ${GREETING_EMULATE:-} ]] && arch-test -n "$1" >/dev/null 2>&1; }
}

# Linux 6.7 and later give a user namespace that mounts binfmt_misc an instance of its own: the
# host's entries do not reach into it, and its own are asked first.
own_binfmt() {
  if [[ -z ${own_binfmt_works:-} ]]; then
    own_binfmt_works=no
    mkdir -p "$work/binfmt"
    ! unshare --map-user=0 --map-group=0 -m -- mount -t binfmt_misc binfmt_misc "$work/binfmt" \
      2>/dev/null || own_binfmt_works=yes
  fi
  [[ $own_binfmt_works == yes ]]
}
subids() {
  grep -qs '^root:' /etc/subuid && grep -qs '^root:' /etc/subgid ||
    usermod --add-subuids 1000000-1065535 --add-subgids 1000000-1065535 root
}
# Runs a command with a binfmt_misc of its own that holds only the rules given (one per line),
# in a user namespace where every id keeps its number: packages' scripts chown to system users,
# and sbuild's namespaces take root's subordinate ids. Only root of the host can map them all:
# the namespace waits, a bounded time, for its maps from here.
with_binfmt() { # rules, command...
  local rules=$1 pid status=0 tries
  shift
  mkdir -p "$work/binfmt"
  unshare -U -m --propagation private -- /bin/bash -ec '
      for ((tries = 0; tries < 3000 && $(wc -c </proc/self/uid_map) == 0; tries++)); do
        sleep 0.01
      done
      mount -t binfmt_misc binfmt_misc "$1"
      while IFS= read -r rule; do printf "%s" "$rule" >"$1/register"; done <<<"$2"
      shift 2
      exec "$@"' with-binfmt "$work/binfmt" "$rules" "$@" <&0 &
  pid=$!
  for ((tries = 0; tries < 3000; tries++)); do
    [[ $(readlink "/proc/$pid/ns/user") == "$(readlink /proc/self/ns/user)" ]] || break
    sleep 0.01
  done
  { echo '0 0 4294967295' >"/proc/$pid/uid_map" && echo '0 0 4294967295' >"/proc/$pid/gid_map"; } ||
    kill "$pid"
  wait "$pid" || status=$?
  return $status
}
# Where this kernel has no binfmt_misc per user namespace: registers qemu-user for ARCH on the
# host, where no entry runs it yet.
register_on_host() { # architecture
  local cpu
  cpu=$(qemu_cpu "$1")
  mountpoint -q /proc/sys/fs/binfmt_misc ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [[ -e /proc/sys/fs/binfmt_misc/qemu-$cpu ]] || qemu_rule "$cpu" >/proc/sys/fs/binfmt_misc/register
}
# Decides how a step runs ARCH's programs, and says so on a line that the step's line repeats:
# natively where "native" is asked for and the kernel can, else under qemu-user in a binfmt_misc
# of the step's own (the caller's array `through` runs a command there), else, on kernels before
# Linux 6.7, natively where the kernel can or with qemu-user registered on the host. Sets the
# caller's `emulated`.
emulation() { # architecture, [native]
  emulated=''
  if [[ ${2:-} == native ]] && native "$1"; then
    echo "note: natively"
  elif own_binfmt; then
    emulated=1 through=(with_binfmt "$(qemu_rule "$(qemu_cpu "$1")")")
    echo "note: under qemu-user"
  elif native "$1"; then
    echo "note: natively: this kernel has no binfmt_misc of a user namespace's own to emulate"
  else
    emulated=1
    register_on_host "$1"
    echo "note: under qemu-user, registered on the host"
  fi
}

# Makes a tarball or tree of SUITE with mmdebstrap once, trying a failed download once more.
bootstrap() { # target, sources (array name), mmdebstrap options...
  local target=$1 log=$1.log
  local -n from=$2
  shift 2
  exec {lock}>"$target.made.lock"
  flock "$lock"
  [[ -e $target ]] && return 0
  : >"$log"
  # Made under another name first, which keeps the suffix that mmdebstrap's format goes by.
  local part=${target%/*}/part.${target##*/}
  for try in 1 2; do
    rm -rf "$part"
    if "${through[@]}" unshare -m --propagation private -- \
      mmdebstrap "$@" "$suite" "$part" "${from[@]}" >>"$log" 2>&1; then
      mv "$part" "$target"
      return 0
    fi
  done
  echo "mmdebstrap: failed twice, see $log" >&2
  return 1
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

# The step's commands in a fresh clone of HEAD in the tree, made first where it is not current.
in_tree() {
  exec {lock}>"$root.lock"
  flock "$lock"
  native "$arch" || register_on_host "$arch"
  if [[ $(cat "$root/.greeting-prerequisites" 2>/dev/null) != "$prerequisites" ]]; then
    rm -rf "$root"
    bootstrap "$root" native_sources --arch="$arch" --variant=minbase \
      --include="${prerequisites// /,}"
    echo "$prerequisites" >"$root/.greeting-prerequisites"
  fi
  rm -rf "$root"/root/* "$root/tmp/"*
  git clone -q --no-hardlinks "$repo" "$root/root/greeting"
  mkdir -p "$root.throwaway"
  in_chroot "$online" "cd /root/greeting; $command"
}

# Builds the source package of HEAD in $work, then runs sbuild on it in $work/out, through the
# command in the caller's array `through` (if any). sbuild's log of the build holds the cause of
# whatever fails from there on, so the step's line names it.
sbuild_head() { # tarball, sbuild options...
  local tarball=$1 status=0
  shift
  subids
  mkdir -p "$work/greeting" "$work/out"
  git -C "$repo" archive HEAD | tar -x -C "$work/greeting"
  (cd "$work" && dpkg-source -b greeting)
  cd "$work/out"
  "${through[@]}" timeout "$step_timeout" sbuild --chroot-mode=unshare --chroot="$tarball" \
    --dist="$suite" --no-run-piuparts --no-run-autopkgtest "$@" ../greeting_*.dsc || status=$?
  echo "cause: $(find "$work/out" -maxdepth 1 -name '*.build' -type l)"
  return $status
}
buildd_tarball() {
  bootstrap "$root.buildd.tar" native_sources --arch="$arch" --variant=buildd \
    --include=apt-utils --skip=output/mknod --format=tar
  echo "$root.buildd.tar"
}

# Which cases skipped, from a ctest --verbose log. None may, but those that inject failures
# where the second argument is given: under qemu-user, which refuses seccomp filters, and in
# the qemu steps, whose suite is built without libseccomp wherever it runs.
skips() { # log, [whether the cases that inject failures may skip]
  local skipped injected why
  skipped=$(sed -n 's/^[[:space:]]*\([0-9]*\) - .* (Skipped)$/\1/p' "$1" | sort -u)
  injected=$(sed -n 's/^\([0-9]*\): failures cannot be injected: .*/\1/p' "$1" | sort -u)
  why=$(sed -n 's/^[0-9]*: failures cannot be injected: //p' "$1" | sort -u | paste -sd ';')
  grep -q '100% tests passed' "$1"
  if [[ -z $skipped ]]; then
    echo "note: skips: none"
  elif [[ -n ${2:-} && $skipped == "$injected" ]]; then
    echo "note: skips: $(wc -l <<<"$skipped") cases that inject failures ($why)"
  else
    echo "skips: cases $(echo $skipped) skipped, where no case may skip (see above)"
    return 1
  fi
}

buildd() {
  local emulated through=() tarball
  emulation "$arch" native
  tarball=$(buildd_tarball)
  # The changes are for SUITE, the changelog for Debian's unstable: as it should be.
  sbuild_head "$tarball" --arch="$arch" --run-lintian --lintian-opts="--fail-on\
 error,warning --suppress-tags changelog-distribution-does-not-match-changes-file,distribution-and-changes-mismatch"
  # sbuild succeeds whatever lintian found, and says what it found in its summary.
  grep -qx 'Lintian: pass' greeting_*_"$arch".build
  skips greeting_*_"$arch".build "$emulated"
}

source_package() {
  local through=() tarball
  tarball=$(buildd_tarball)
  sbuild_head "$tarball" --source --no-arch-any --no-arch-all --no-run-lintian
  ls greeting_*.dsc greeting_*_source.changes
}

# The build must not be able to run HOST's programs: in a binfmt_misc of its own, a rule that
# refuses them. On kernels before Linux 6.7 the job cannot hide the host's entries, and fails
# where one runs HOST's programs rather than pass blind.
cross() { # host architecture
  local all through=() entry
  all=$(printf '%s\n' "${architectures[@]}" | grep -v -e "^$arch\$" -e '^$' | paste -sd,)
  bootstrap "$cache/$suite.cross.buildd.tar" sources --architectures="$arch,$all" \
    --variant=buildd --include=apt-utils --skip=output/mknod --format=tar
  if own_binfmt; then
    through=(with_binfmt "$(refuse_rule "$(qemu_cpu "$1")")")
    ! "${through[@]}" arch-test "$1" || { echo "$1's programs run even so"; return 1; }
  elif arch-test "$1" >/dev/null 2>&1; then
    for entry in /proc/sys/fs/binfmt_misc/*; do
      [[ $(head -n 1 "$entry" 2>/dev/null) == enabled ]] &&
        grep -q "^interpreter .*$(qemu_cpu "$1")" "$entry" && break
      entry=''
    done
    if [[ -n $entry ]]; then
      echo "binfmt_misc entry $entry runs $1's programs on this host, where a build that runs" \
        "what it builds would pass unseen: disable it for the run (echo 0 >$entry; echo 1" \
        "enables it again), or run on Linux 6.7 or later, where the job has a binfmt_misc" \
        "of its own"
    else
      echo "this kernel runs $1's programs itself: a cross build cannot be checked here"
    fi
    return 1
  fi
  # With the cross profile alone the suite is built for HOST, so that what it holds for each
  # architecture compiles; nocheck keeps it from running.
  DEB_BUILD_OPTIONS=nocheck sbuild_head "$cache/$suite.cross.buildd.tar" --host="$1" \
    --profiles=cross --no-run-lintian
  [[ $(dpkg-deb -f greeting_*_"$1".deb Architecture) == "$1" ]]
  grep -q 'Linking CXX executable client_test' greeting_*_"$1".build
}

# A fresh clone of HEAD in $work/greeting, to work in.
clone_head() {
  git clone -q "$repo" "$work/greeting"
  cd "$work/greeting"
}

on_host_release() {
  [[ $(. /etc/os-release && echo "${VERSION_CODENAME:-}") == "$suite" ]] ||
    { echo "$step builds with this machine's packages: run it for its own release"; false; }
}
# Builds the binary package of a commit in $work/DIR, without its tests.
package_of() { # commit, directory
  mkdir -p "$work/$2/greeting"
  git -C "$repo" archive "$1" | tar -x -C "$work/$2/greeting"
  (cd "$work/$2/greeting" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b -Pnocheck)
}

piuparts_step() {
  on_host_release
  local release commit
  read -r release commit < <(grep -v '^#' "$repo/scripts/releases" | tail -n 1)
  package_of HEAD new
  package_of "$commit" "$release"
  (cd "$work/$release" && dpkg-scanpackages . >Packages)
  bootstrap "$root.piuparts.tar.gz" native_sources --arch="$arch" --variant=minbase
  unshare -m --propagation private -- timeout "$step_timeout" piuparts -d "$suite" -m "$mirror" \
    -b "$root.piuparts.tar.gz" --bindmount="$work/$release" \
    --extra-repo="deb [trusted=yes] file://$work/$release ./" "$work"/new/greeting_*_"$arch".deb
}

twice() {
  on_host_release
  clone_head
  DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b
  DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b
  debian/rules clean
  git status --short --ignored
  [[ -z $(git status --porcelain --ignored) ]]
}

# user_group is left out: it needs sudo and a second user. diffoscope's report of a difference
# is in the log and in the file the step's line names; a variation that this machine cannot
# apply is named in the line.
reprotest_step() {
  local status=0
  on_host_release
  clone_head
  DEB_BUILD_OPTIONS=nocheck DEB_BUILD_PROFILES=nocheck timeout "$step_timeout" reprotest \
    --store-dir="$work/store" --vary=+all,-user_group --min-cpus=2 . '../*.deb' -- null ||
    status=$?
  sed -n 's/.* \([a-z_]*\) is ineffective$/note: \1 varied to no effect here/p' "$log" | sort -u
  ((status == 0)) || find "$work/store" -name '*.diffoscope.out' -printf 'cause: %p\n'
  return $status
}

# Every index of a path that can conflict: the architecture's and Architecture: all's, in SUITE
# and its updates.
missing_breaks() {
  local from
  package_of HEAD new
  for from in "$suite/main/Contents-$arch" "$suite/main/Contents-all" \
    "$suite-updates/main/Contents-$arch" "$suite-updates/main/Contents-all"; do
    /usr/lib/apt/apt-helper download-file "$mirror/dists/$from.gz" "$work/${from//\//_}.gz"
  done
  dpkg-deb -c "$work"/new/greeting_*_"$host_arch".deb | awk '!/^d/ { sub("^\\./", "", $6); print $6 }' \
    >"$work/ours"
  cat "$work/ours"
  zcat "$work"/*_Contents-*.gz |
    awk 'NR == FNR { ours[$1]; next } $1 in ours { print "also in " $2 ": " $1; found = 1 }
      END { exit found }' "$work/ours" -
}

wrap_and_sort() {
  clone_head
  wrap-and-sort -ast --dry-run | { ! grep .; }
}

qemu() { # architecture
  local triple emulated through=() toolchain
  triple=$(dpkg-architecture -a"$1" -qDEB_HOST_GNU_TYPE 2>/dev/null)
  emulation "$1"
  clone_head
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/cross.cmake" -DGREETING_CROSS_TRIPLE="$triple"
    -DGREETING_CROSS_QEMU="$(qemu_cpu "$1")" -DCMAKE_BUILD_TYPE=Release)
  cmake -S /usr/src/googletest -B out/googletest "${toolchain[@]}" -DBUILD_GMOCK=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr
  cmake --build out/googletest -j2
  DESTDIR=$PWD/out/target cmake --install out/googletest
  # Linked statically, nothing needs the target's loader or libraries.
  cmake -S . -B out/build "${toolchain[@]}" -DCMAKE_FIND_ROOT_PATH="$PWD/out/target" \
    -DCMAKE_EXE_LINKER_FLAGS=-static -DCMAKE_CXX_FLAGS=-Werror
  cmake --build out/build -j2
  echo "cause: $PWD/ctest.log"
  (cd out/build && "${through[@]}" timeout "$step_timeout" ctest -j2 --verbose) >ctest.log 2>&1 ||
    true
  tail -n 30 ctest.log
  skips ctest.log built-without-libseccomp
}

mkdir -p "$cache"

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
  DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b -Pnocheck >/dev/null
  new=$(readlink -f ../greeting_*_$(dpkg --print-architecture).deb)
  paths >/tmp/before
  grep -v "^#" scripts/releases | while read -r version commit; do
    mkdir "/root/$version"
    git archive "$commit" | tar -x -C "/root/$version"
    cd "/root/$version"
    if [ -d debian ]; then
      DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b -Pnocheck >/dev/null
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

failed=0
for step in "${steps[@]}"; do
  online='' throwaway='' command='' runner=in_tree
  case $step in
    demo) command=scripts/demo.sh ;;
    test) command=scripts/test.sh ;;
    loose) command='cmake -S . -B build && cmake --build build -j2 && cd build && ctest -j2 --output-on-failure' ;;
    autopkgtest)
      throwaway=1
      online='apt-get update && apt-get install -y --no-install-recommends autopkgtest iproute2'
      command='DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b -Pnocheck >/dev/null
        autopkgtest ../greeting_*.deb . -- null' ;;
    upgrade) throwaway=1 command=$upgrade ;;
    buildd) runner=buildd ;;
    source) runner=source_package ;;
    all)
      say "all: not run: there is no Architecture: all package, and the pipeline skips the job then"
      continue ;;
    cross-*) runner="cross ${step#cross-}" ;;
    piuparts | reprotest) runner=${step}_step ;;
    twice | missing-breaks | wrap-and-sort) runner=${step//-/_} ;;
    qemu-*) runner="qemu ${step#qemu-}" ;;
    *) say "unknown step '$step'" >&2; exit 2 ;;
  esac
  log=$root.$step.log
  work=$root.$step
  exec 9>"$work.lock"
  flock -n 9 || { say "$step: another run holds $work" >&2; exit 2; }
  rm -rf "$work"
  mkdir -p "$work"
  start=$SECONDS
  set +e
  (set -e; $runner) >"$log" 2>&1
  status=$?
  set -e
  note=$(sed -n 's/^note: //p' "$log" | paste -sd ';' | sed 's/;/; /g')
  if ((status == 0)); then
    say "$step: passed in $((SECONDS - start)) s${note:+ ($note)}"
  else
    cause=$(sed -n 's/^cause: //p' "$log" | tail -n 1)
    say "$step: FAILED (exit $status) in $((SECONDS - start)) s${note:+ ($note)}," \
      "see $log${cause:+ and $cause}"
    failed=1
  fi
done
exit $failed
