#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and tests everything that a release must pass, with any CMake from 3.18 on, or the
# parts named (scripts/test.sh [PART...]):
#   dev      optimised, with the benchmark built
#   asan     AddressSanitizer and UndefinedBehaviorSanitizer
#   static   the client linked statically
#   clang    built by clang++
#   package  scripts/check-package.sh: three package builds, blhc and lintian
#   release  the version in the release notes and the Debian changelog; the README's
#            prerequisites line
# Each build is in out/PART, with warnings as errors and its whole suite strict: a case that
# cannot run here fails. A part's output goes to out/PART.log, whose end is shown if it fails;
# every part runs, and one line each says how it went. Needs the packages in
# scripts/prerequisites.
set -uo pipefail
cd "$(dirname "$0")/.."
mkdir -p out

strict=(-DGREETING_STRICT_TESTS=ON -DCMAKE_BUILD_TYPE=Release)
sanitize='-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer'
build() { # part, configure options...
  local dir=out/$1
  shift
  cmake -S . -B "$dir" "${strict[@]}" "$@" && cmake --build "$dir" -j2 &&
    (cd "$dir" && ctest --output-on-failure -j2 ${leave_out:+-E "$leave_out"})
}
release() {
  local version news entries entry above ok=0
  version=$(sed -n 's/^project(greeting VERSION \([^ ]*\).*/\1/p' CMakeLists.txt)
  news=$(grep -m1 '^## ' NEWS.md)
  if [[ $news != "## $version "* ]]; then
    echo "NEWS.md opens with '$news', not with version $version"
    ok=1
  fi
  # Above the release's own entry, only what downstream adds: a binNMU, an NMU, a local version.
  mapfile -t entries < <(sed -n 's/^[a-z0-9][a-z0-9.+-]* (\([^)]*\)).*/\1/p' debian/changelog)
  above=()
  for entry in "${entries[@]}"; do
    [[ $entry == "$version" ]] && break
    above+=("$entry")
  done
  if ((${#above[@]} == ${#entries[@]})); then
    echo "debian/changelog has no entry for $version"
    ok=1
  else
    for entry in "${above[@]}"; do
      if [[ $entry != "$version"* ]] || ! dpkg --compare-versions "$entry" gt "$version"; then
        echo "debian/changelog: $entry, above $version, is not a later version of it"
        ok=1
      fi
    done
  fi
  # The README shows the line that users copy; it must install the list's packages.
  local line
  line="sudo apt-get install $(grep -v '^#' scripts/prerequisites)"
  if ! sed 's/^ *//' README.md | grep -xF "$line" >/dev/null; then
    echo "README.md does not show '$line'"
    ok=1
  fi
  # The README names the releases and architectures of CONTRIBUTING.md's tried table, no
  # other, and Ubuntu only as untried.
  local table readme
  names() {
    local text
    text=$(cat)
    { grep -oE "Debian [0-9]+((, | and )[0-9]+)*" <<<"$text" | grep -oE "[0-9]+"
      grep -owF -f <(dpkg-architecture -L) <<<"$text"; } | sort -u
  }
  table=$(grep -E '^\| (Debian|Ubuntu) ' CONTRIBUTING.md | names)
  readme=$(names <README.md)
  if [[ $table != "$readme" ]]; then
    echo "README.md and CONTRIBUTING.md's tried table name other releases or architectures:"
    diff <(echo "$readme") <(echo "$table")
    ok=1
  fi
  if grep -E '^\| Ubuntu' CONTRIBUTING.md | grep -vq untried ||
    ! grep -q 'untried, as are Ubuntu' README.md; then
    echo "Ubuntu is untried, and both documents must say so"
    ok=1
  fi
  return $ok
}

parts=("$@")
((${#parts[@]})) || parts=(dev asan static clang package release)
echo "Running: ${parts[*]} (logs in out/PART.log)"
results=()
failed=0
for part in "${parts[@]}"; do
  start=$SECONDS
  case $part in
    dev) build dev -DCMAKE_CXX_FLAGS=-Werror -DGREETING_BENCH=ON ;;
    # The sanitizers' runtime cannot start under a descriptor limit of 3: it loops on EMFILE
    # before main. Those two cases run in every other part.
    asan) leave_out=DescriptorsRunOut build asan -DCMAKE_BUILD_TYPE=Debug \
      "-DCMAKE_CXX_FLAGS=-Werror $sanitize" "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" ;;
    static) build static -DCMAKE_CXX_FLAGS=-Werror -DGREETING_STATIC_CLIENT=ON ;;
    clang) build clang -DCMAKE_CXX_FLAGS=-Werror -DCMAKE_CXX_COMPILER=clang++ ;;
    package) scripts/check-package.sh ;;
    release) release ;;
    *) echo "no part '$part': the parts are dev asan static clang package release"; false ;;
  esac >"out/$part.log" 2>&1
  status=$?
  if ((status == 0)); then
    results+=("$part: passed in $((SECONDS - start)) s")
  else
    tail -n 60 "out/$part.log"
    results+=("$part: FAILED in $((SECONDS - start)) s, see out/$part.log")
    failed=1
  fi
  echo "${results[-1]}"
done
echo "Summary:"
printf '%s\n' "${results[@]}"
exit $failed
