#!/usr/bin/env bash
# The installer under wine, as a technician's silent install would run it:
# installs into Program Files\torvi, puts that folder on the user's PATH,
# torvi-cli.exe answers --version from there, and the uninstaller takes the
# files, the folder and the PATH entry away again. The ZIP folder holds
# the same programs.
# Usage: installer.sh WINDOWS_BUILD LINUX_BUILD   (WINE and WINEPREFIX set)
set -uo pipefail
win=$(cd "$1" && pwd)
: "${WINE:?the wine64 program}" "${WINEPREFIX:?}"
wineserver=${WINE%/*}/wineserver

passed=0 failed=0
check() {  # description command...
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "  ok   $what"
  else
    failed=$((failed + 1))
    echo "  FAIL $what"
  fi
}

setup=$(ls "$win"/torvi-*-setup.exe 2>/dev/null | head -1)
zip=$(ls "$win"/torvi-*-windows-x86_64.zip 2>/dev/null | head -1)
if [ -z "$setup" ] || [ -z "$zip" ]; then
  echo "installer: no installer or ZIP file in $win (scripts/windows-package makes them)"
  echo "installer: 0 passed, 1 failed"
  exit 0
fi
folder="$WINEPREFIX/drive_c/Program Files/torvi"

# The user's PATH as the registry holds it (empty when it has none).
user_path() {
  timeout 60 "$WINE" reg query 'HKCU\Environment' /v Path 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *Path *REG_[A-Z_]* *//p'
}
# Waits (bounded) until every program of this wine prefix has ended: the
# uninstaller copies itself away and returns before it has done its work.
settle() { timeout 120 "$wineserver" -w; }

listing=$(unzip -Z1 "$zip" | sed 's|^[^/]*/||' | grep -v -e '/$' -e '^$' | sort)
expected=$(printf '%s\n' README.txt examples/channel.csv examples/groups.csv examples/inputs.csv \
  man/torvi-cli.txt man/torvi-inspect.txt man/torvi-site.txt torvi-cli.exe torvi-inspect.exe \
  torvi-site.exe | sort)
check "the ZIP folder holds the programs, README, manual pages and examples" \
  test "$listing" = "$expected"

echo "installer: ${setup##*/} /S"
timeout 300 "$WINE" "$setup" /S
status=$?
settle
check "the silent install ends with status 0" test $status = 0
for f in torvi-cli.exe torvi-inspect.exe torvi-site.exe uninstall.exe README.txt man/torvi-cli.txt examples/channel.csv; do
  check "installed: Program Files\\torvi\\${f//\//\\}" test -f "$folder/$f"
done
check "the installed torvi-cli.exe is the built one" cmp -s "$folder/torvi-cli.exe" "$win/torvi-cli.exe"
check "the user's PATH holds C:\\Program Files\\torvi" \
  bash -c '[[ ";$1;" == *";C:\\Program Files\\torvi;"* ]]' _ "$(user_path)"
version=$(cd "$folder" && timeout 60 "$WINE" 'C:\Program Files\torvi\torvi-cli.exe' --version |
  tr -d '\r')
check "torvi-cli.exe --version from the installed folder" test "$version" = $'torvi-cli\nVersion 1.0.0'

# A second install leaves one PATH entry.
timeout 300 "$WINE" "$setup" /S
settle
check "installing twice adds the folder to the PATH once" \
  test "$(user_path | tr ';' '\n' | grep -c -x 'C:\\Program Files\\torvi')" = 1

echo "installer: uninstall.exe /S"
timeout 300 "$WINE" 'C:\Program Files\torvi\uninstall.exe' /S
settle
check "the uninstaller removes the folder" test ! -e "$folder"
check "the uninstaller takes the folder off the user's PATH" \
  bash -c '[[ ";$1;" != *";C:\\Program Files\\torvi;"* ]]' _ "$(user_path)"

echo "installer: $passed passed, $failed failed"
