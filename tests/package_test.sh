#!/usr/bin/env bash
# Builds the Debian package from a finished build tree, unpacks it into a
# scratch root and runs what it installed: the programs, the manual pages
# and the completions. Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
for tool in cpack dpkg-deb dpkg-shlibdeps man; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/install-deps installs it)"
    exit 77
  fi
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

if ! timeout 240 cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  fail "cpack did not build the package"
fi
deb=$scratch/out/torvi_1.0.0_amd64.deb
[ -f "$deb" ] || fail "no torvi_1.0.0_amd64.deb in: $(ls "$scratch/out")"

# The package holds exactly the four programs, their pages and completions.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | LC_ALL=C sort | paste -sd' ')
want="./usr/bin/korvan-sim ./usr/bin/torvi-cli ./usr/bin/torvi-inspect ./usr/bin/torvi-site\
 ./usr/share/bash-completion/completions/korvan-sim\
 ./usr/share/bash-completion/completions/torvi-cli\
 ./usr/share/bash-completion/completions/torvi-inspect\
 ./usr/share/bash-completion/completions/torvi-site\
 ./usr/share/man/man1/korvan-sim.1.gz ./usr/share/man/man1/torvi-cli.1.gz\
 ./usr/share/man/man1/torvi-inspect.1.gz ./usr/share/man/man1/torvi-site.1.gz"
[ "$files" = "$want" ] || fail "package files: $files"

# Its dependencies come from the libraries the programs link.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libcurl4 libzip4 libcsv3 libarchive13; do
  [[ ", $depends," == *", $lib "* ]] || fail "Depends lacks $lib: $depends"
done

root=$scratch/root
dpkg-deb -x "$deb" "$root"
out=$("$root/usr/bin/torvi-cli" --version) || fail "torvi-cli --version exited $?"
[ "$out" = $'torvi-cli\nVersion 1.0.0' ] || fail "torvi-cli --version printed: $out"
"$root/usr/bin/korvan-sim" --help | grep -q '^usage: korvan-sim' || fail "korvan-sim --help"
out=$("$root/usr/bin/torvi-inspect" --help) || fail "torvi-inspect --help exited $?"
[[ $out == 'Usage: torvi-inspect COMMAND '* ]] || fail "torvi-inspect --help printed: $out"
out=$("$root/usr/bin/torvi-site" --version) || fail "torvi-site --version exited $?"
[ "$out" = 'torvi-site 1.0.0' ] || fail "torvi-site --version printed: $out"

# The pages render without a warning from groff.
for page in torvi-cli korvan-sim torvi-inspect torvi-site; do
  text=$(MANWIDTH=80 MANPAGER=cat LC_ALL=C.UTF-8 man --warnings -l \
    "$root/usr/share/man/man1/$page.1.gz" 2>"$scratch/man.err") || fail "man -l $page exited $?"
  [ ! -s "$scratch/man.err" ] || fail "man -l $page: $(cat "$scratch/man.err")"
  for section in NAME SYNOPSIS OPTIONS 'EXIT STATUS' FILES; do
    grep -q "^$section" <<<"$text" || fail "$page(1) has no $section section"
  done
done

# The installed completions load on their own, each bringing torvi-cli's
# helpers from beside it.
completions=$root/usr/share/bash-completion/completions
bash -c ". '$completions/korvan-sim' && complete -p torvi-cli korvan-sim" \
  >/dev/null || fail "the completions do not load"
bash -c ". '$completions/torvi-inspect' && complete -p torvi-cli torvi-inspect" \
  >/dev/null || fail "the torvi-inspect completion does not load"
bash -c ". '$completions/torvi-site' && complete -p torvi-cli torvi-site" \
  >/dev/null || fail "the torvi-site completion does not load"

echo "package: $(dpkg-deb -f "$deb" Package Version Architecture | paste -sd' ')"
echo "Depends: $depends"
echo "1 passed, 0 failed"
