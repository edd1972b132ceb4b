#!/usr/bin/env bash
# torvi-cli.exe under wine against korvan-sim, beside the Linux torvi-cli
# against a second, identical korvan-sim: the same table of runs on both
# sides, from folders holding the same input files, must print the same
# console lines (once the C runtime's "\n" to "\r\n" is undone), write the
# same files and leave the same configuration files on the controllers.
# torvi-inspect.exe must then say what the Linux torvi-inspect says of the
# files written. Each Windows run ends after the closing pause (4 s), and
# with status 0; --version ends at once.
# Usage: actions.sh WINDOWS_BUILD LINUX_BUILD   (WINE and WINEPREFIX set)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
win=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
: "${WINE:?the wine64 program}" "${WINEPREFIX:?}"
work=$win/tests/actions
rm -rf "$work"
mkdir -p "$work"

sims=()
cleanup() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null; done
}
trap cleanup EXIT

passed=0 failed=0
pass() { passed=$((passed + 1)); echo "  ok   $*"; }
fail() { failed=$((failed + 1)); echo "  FAIL $*"; }

# One side: its own simulator (state kept in SIDE/state) and its own copy of
# the inputs. Sets address[SIDE].
declare -A address
"$linux/korvan-sim" make-firmware --out "$work/fw.bin" >/dev/null || exit 1
for side in linux windows; do
  dir=$work/$side
  mkdir -p "$dir/state" "$dir/blocked/dali1.tar"
  cp "$work/fw.bin" "$root/examples/channel.csv" "$root/examples/inputs.csv" "$dir/"
  "$linux/korvan-sim" --listen 127.0.0.1:0 --state "$dir/state" --log >"$dir/sim.log" 2>&1 &
  sims+=($!)
  line=
  for _ in $(seq 100); do
    line=$(head -n 1 "$dir/sim.log")
    [ -n "$line" ] && break
    sleep 0.1
  done
  [[ $line == "korvan-sim listening on "* ]] || { echo "actions: korvan-sim did not start"; exit 1; }
  address[$side]=${line#korvan-sim listening on }
done

# The runs, in order (later ones use what earlier ones wrote): a name, then
# the arguments. @ADDR@ is the side's simulator, @ZIP@ the ZIP backup the
# first get_backup wrote.
runs=(
  "version|--version"
  "get_status|--action get_status --ip @ADDR@"
  "get_backup zip|--action get_backup --ip @ADDR@ --backupfileout out --backupfileouttype zip"
  "get_backup tars|--action get_backup --ip @ADDR@ --backupfileout tars --backupconfig [\"dali1\",\"cd1\",\"rlc\"]"
  "get_backup unwritable|--action get_backup --ip @ADDR@ --backupfileout blocked --backupconfig [\"dali1\"]"
  "put_backup|--action put_backup --ip @ADDR@ --backupfilein @ZIP@"
  "setup_channel gear|--action setup_channel --ip @ADDR@ --channel [1] --channelcsvfile [\"channel.csv\"]"
  "setup_channel inputs|--action setup_channel --ip @ADDR@ --channel [1] --channelinputscsvfile [\"inputs.csv\"]"
  "push_firmware|--action push_firmware --ip @ADDR@ --firmwarefile fw.bin"
)

# What differs between the sides by design: the simulator's address (in a
# file name, Windows has '_' for the ':'), and the time in the backup's name.
normalise() {  # side file
  local a=${address[$1]}
  sed -e "s/$a/ADDR/g" -e "s/${a/:/_}/ADDR/g" -e 's/_KORVAN_[0-9]\{8\}_[0-9]\{6\}/_KORVAN_TIME/g' \
    -e 's/127\.0\.0\.1:[0-9]*/PEER/g' "$2"
}

# Runs torvi-cli on one side in that side's folder; its output in
# SIDE/N.out and SIDE/N.err, the seconds it took in $took, status in $status.
run_cli() {  # side n args
  local side=$1 n=$2 args=$3 dir=$work/$1
  args=${args//@ADDR@/${address[$side]}}
  local zip
  zip=$(cd "$dir" && ls out/backup_*.zip 2>/dev/null | head -1)
  args=${args//@ZIP@/$zip}
  local start
  start=$(date +%s%N)
  if [ "$side" = linux ]; then
    (cd "$dir" && eval "timeout 120 $(printf %q "$linux/torvi-cli") $(words "$args")" \
      >"$dir/$n.out" 2>"$dir/$n.err" </dev/null)
    status=$?
  else
    # In a terminal, so that wine gives the program a console.
    local run
    run="cd $(printf %q "$dir") && timeout 120 $(printf %q "$WINE") $(printf %q "$win/torvi-cli.exe")"
    run+=" $(words "$args") >$n.out.raw 2>$n.err.raw </dev/null; echo \$? >$n.status"
    script -qec "$run" /dev/null </dev/null >/dev/null
    status=$(cat "$dir/$n.status" 2>/dev/null || echo 255)
    # The C runtime wrote each "\n" as "\r\n"; a line the tool ends in "\r\n"
    # comes back as it was.
    sed -z 's/\r\n/\n/g' "$dir/$n.out.raw" >"$dir/$n.out"
    sed -z 's/\r\n/\n/g' "$dir/$n.err.raw" >"$dir/$n.err"
  fi
  took=$((($(date +%s%N) - start) / 1000000))
}
# The arguments, each quoted for the shell.
words() {
  local w out=
  for w in $1; do out+="$(printf %q "$w") "; done
  echo "$out"
}

n=0
for entry in "${runs[@]}"; do
  n=$((n + 1))
  name=${entry%%|*}
  args=${entry#*|}
  run_cli linux $n "$args"
  run_cli windows $n "$args"
  echo "actions: $name (torvi-cli.exe: status $status, $took ms)"
  if cmp -s <(normalise linux "$work/linux/$n.out") <(normalise windows "$work/windows/$n.out"); then
    pass "$name: the console lines are the Linux build's"
  else
    fail "$name: the console lines differ from the Linux build's:"
    diff <(normalise linux "$work/linux/$n.out") <(normalise windows "$work/windows/$n.out") | head -20
  fi
  [ "$status" = 0 ] && pass "$name: exit status 0" || fail "$name: exit status $status"
  if [ "$name" = version ]; then
    [ $took -lt 4000 ] && pass "$name: ends without the pause" || fail "$name: took $took ms"
  else
    [ $took -ge 4000 ] && pass "$name: ends after the closing pause ($took ms)" ||
      fail "$name: ended after $took ms, before the 4 s pause"
  fi
done

# torvi-site.exe over an inventory of both controllers: the Linux build's
# summary, and each controller's log byte for byte (written in binary mode,
# as torvi-cli's console lines go out on Linux).
printf 'name,address\r\nleft,%s\r\nright,%s\r\n' "${address[linux]}" "${address[windows]}" \
  >"$work/site.csv"
(cd "$work/linux" && timeout 120 "$linux/torvi-site" status ../site.csv >site.out 2>site.err)
lstatus=$?
run="cd $(printf %q "$work/windows") && timeout 120 $(printf %q "$WINE") $(printf %q "$win/torvi-site.exe")"
run+=" status '..\\site.csv' >site.out.raw 2>site.err.raw </dev/null; echo \$? >site.status"
script -qec "$run" /dev/null </dev/null >/dev/null
wstatus=$(cat "$work/windows/site.status" 2>/dev/null || echo 255)
sed -z -e 's/\r\n/\n/g' -e 's|\\|/|g' "$work/windows/site.out.raw" >"$work/windows/site.out"
echo "actions: torvi-site status (torvi-site.exe: status $wstatus, Linux $lstatus)"
if [ "$wstatus" = 0 ] && [ "$lstatus" = 0 ] && grep -q '^left ' "$work/windows/site.out" &&
  cmp -s "$work/linux/site.out" "$work/windows/site.out"; then
  pass "torvi-site.exe status: the Linux build's summary, exit status 0"
else
  fail "torvi-site.exe status: status $wstatus (Linux $lstatus), summary:"
  diff "$work/linux/site.out" "$work/windows/site.out" | head -10
fi
for name in left right; do
  log=torvi-site-logs/$name/get_status.log
  if [ -s "$work/windows/$log" ] && cmp -s "$work/linux/$log" "$work/windows/$log"; then
    pass "torvi-site.exe: torvi-site-logs\\$name\\get_status.log holds the Linux build's bytes"
  else
    fail "torvi-site.exe: $log is missing or differs"
  fi
done

# Files the runs wrote, by the Windows names: the ZIP backup in out\ (its
# name with '_' for the address's ':'), the tars, the refusal naming the
# backslash-joined path.
w=$work/windows l=$work/linux
wzip=$(ls "$w"/out/backup_*.zip 2>/dev/null | head -1)
lzip=$(ls "$l"/out/backup_*.zip 2>/dev/null | head -1)
if [[ ${wzip##*/} =~ ^backup_127\.0\.0\.1_[0-9]+_KORVAN_[0-9]{8}_[0-9]{6}\.zip$ ]]; then
  pass "ZIP backup written as out\\${wzip##*/}"
else
  fail "no ZIP backup named backup_127.0.0.1_PORT_KORVAN_DATE_TIME.zip in out\\: $(ls "$w/out" 2>&1)"
fi
entries() { unzip -Z1 "$1" 2>/dev/null; }
# A configuration archive by its members' names and bytes (the simulator
# stamps its archives with the time they were made).
members() {
  local t
  t=$(mktemp)
  cat >"$t"
  { tar -tf "$t" && tar -xOf "$t" | sha256sum; } 2>/dev/null
  rm -f "$t"
}
same_entries() {
  [ -n "$wzip" ] && [ -n "$(entries "$wzip")" ] && [ "$(entries "$wzip")" = "$(entries "$lzip")" ] ||
    return 1
  local e
  for e in $(entries "$wzip"); do
    cmp -s <(unzip -p "$wzip" "$e" | members) <(unzip -p "$lzip" "$e" | members) || return 1
  done
}
if same_entries; then
  pass "ZIP backup: $(entries "$wzip" | wc -l) entries, each holding the Linux build's members"
else
  fail "ZIP backup entries differ from the Linux build's"
fi
for t in dali1 cd1 rlc; do
  if [ -s "$w/tars/$t.tar" ] && cmp -s <(members <"$w/tars/$t.tar") <(members <"$l/tars/$t.tar"); then
    pass "tars\\$t.tar holds the Linux build's members"
  else
    fail "tars\\$t.tar is missing or differs"
  fi
done
unwritable=$(grep -n "could not write" "$w/5.err")
if grep -q "^backup	could not write 'blocked\\\\dali1.tar': " "$w/5.err"; then
  pass "a file that cannot be written is named by its backslash-joined path"
else
  fail "unwritable file line: ${unwritable:-none}"
fi

# The bytes uploaded: the configuration files the restores and set-ups left
# on each controller, and what each controller logged (uploads with their
# sizes, restores, the upgrade with the image's digest).
if diff -r "$l/state" "$w/state" >/dev/null; then
  pass "the controller's files after the uploads are the Linux build's ($(ls "$w/state" | wc -l) files)"
else
  fail "the controller's files differ: $(diff -rq "$l/state" "$w/state" | head -3)"
fi
if cmp -s <(normalise linux "$l/sim.log") <(normalise windows "$w/sim.log"); then
  pass "korvan-sim logged the same $(grep -c '"kind"' "$w/sim.log") events for both"
else
  fail "korvan-sim's logs differ:"
  diff <(normalise linux "$l/sim.log") <(normalise windows "$w/sim.log") | head -10
fi
grep -q '"kind":"upgrade","detail":"installed' "$w/sim.log" && pass "the firmware upgrade was installed" ||
  fail "no installed upgrade in the log"

# From cmd.exe as the README shows it: each quote of a JSON array written
# as \", a folder with a blank in quotes, the program run from the folder
# it was unpacked into.
cp "$win/torvi-cli.exe" "$w/"
printf '@torvi-cli.exe --action get_backup --ip %s --backupconfig [\\"dali1\\",\\"cd1\\"] --backupfileout "My Backups"\r\n' \
  "${address[windows]}" >"$w/readme.bat"
script -qec "cd $(printf %q "$w") && timeout 120 $(printf %q "$WINE") cmd /c readme.bat >readme.out 2>&1 </dev/null" \
  /dev/null </dev/null >/dev/null
if [ "$(ls "$w/My Backups" 2>/dev/null | xargs)" = "cd1.tar dali1.tar" ]; then
  pass "cmd.exe: the README's get_backup with a JSON list and a quoted folder"
else
  fail "cmd.exe: My Backups holds '$(ls "$w/My Backups" 2>&1 | xargs)'; see $w/readme.out"
fi

# torvi-inspect.exe against the Linux torvi-inspect on the files written.
lzip_rel=out/${lzip##*/} wzip_rel=out/${wzip##*/}
inspections=(
  "show @ZIP@"
  "show --json @ZIP@"
  "show tars/dali1.tar"
  "show fw.bin"
  "check-csv --kind channel channel.csv"
  "check-csv --kind channel --against @ZIP@ --channel 1 channel.csv"
  "check-csv --kind inputs --json inputs.csv"
)
for entry in "${inspections[@]}"; do
  largs=${entry//@ZIP@/$lzip_rel} wargs=${entry//@ZIP@/$wzip_rel}
  (cd "$l" && timeout 60 "$linux/torvi-inspect" $largs >inspect.out 2>inspect.err)
  lstatus=$?
  run="cd $(printf %q "$w") && timeout 120 $(printf %q "$WINE") $(printf %q "$win/torvi-inspect.exe")"
  run+=" $wargs >inspect.out.raw 2>inspect.err.raw </dev/null; echo \$? >inspect.status"
  script -qec "$run" /dev/null </dev/null >/dev/null
  wstatus=$(cat "$w/inspect.status" 2>/dev/null || echo 255)
  sed -z 's/\r\n/\n/g' "$w/inspect.out.raw" >"$w/inspect.out"
  if [ "$lstatus" = "$wstatus" ] &&
    cmp -s <(normalise linux "$l/inspect.out") <(normalise windows "$w/inspect.out"); then
    pass "torvi-inspect.exe $entry: the Linux answer (status $wstatus, $(wc -l <"$w/inspect.out") lines)"
  else
    fail "torvi-inspect.exe $entry: status $wstatus (Linux $lstatus), output:"
    diff <(normalise linux "$l/inspect.out") <(normalise windows "$w/inspect.out") | head -10
  fi
done

echo "actions: $passed passed, $failed failed"
