#!/usr/bin/env bash
# Calls the completion functions the way readline does and checks what they
# offer. With the path of a built korvan-sim, the fault names are read from
# its help as at the prompt.
set -u
here=$(cd "${BASH_SOURCE[0]%/*}" && pwd)
sim=${1:-}
. "$here/korvan-sim"  # loads torvi-cli's completion as well
. "$here/torvi-inspect"
. "$here/torvi-site"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch" "$scratch-site.csv"' EXIT
cd "$scratch" || exit 1
mkdir sub
touch a.zip b.tar c.txt site.html fw.bin fw.binary fw.bin.txt ch1.csv 'my file.csv' sub/g.csv
# An inventory beside the folder, so the file lists the checks expect stay as they are.
inventory=$scratch-site.csv
printf '\xEF\xBB\xBFName;Address\r\n# spare\r\nhall-1;10.0.0.5\r\nhall-2;10.0.0.6\r\nroof;10.0.0.7\r\n' >"$inventory"

passed=0 failed=0
sorted() { tr '|' '\n' | LC_ALL=C sort | paste -sd'|'; }

# check WANT WORD... : WANT lists the offers separated by |; the last WORD is
# the one being completed.
check() {
  local want=$1 got
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  case $1 in
    *korvan-sim) _korvan_sim ;;
    *torvi-inspect) _torvi_inspect ;;
    *torvi-site) _torvi_site ;;
    *) _torvi_cli ;;
  esac
  got=$( (IFS='|'; echo "${COMPREPLY[*]}") | sorted)
  want=$(sorted <<<"$want")
  if [[ $got == "$want" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: completing '$*' offers [$got], expected [$want]"
  fi
}

check '--channel|--channelcsvfile|--channelgroupscsvfile|--channelinputscsvfile' torvi-cli --chan
check 'get_backup|get_status' torvi-cli --action get_
check 'get_status' torvi-cli --action = get_s
check 'zip' torvi-cli --backupfileouttype = z
check 'a.zip|b.tar|sub' torvi-cli --backupfilein ''
check 'fw.bin|fw.binary' torvi-cli --firmwarefile fw
check "'[\"ch1.csv\"]'|'[\"my file.csv\"]'|sub/" torvi-cli --channelcsvfile ''
check "'[\"sub/g.csv\"]'" torvi-cli --channelinputscsvfile "'[\"sub/"
check "'[1]'|'[1,2,3,4]'" torvi-cli --channel "'[1"
check "'[\"dali1\"]'" torvi-cli --backupconfig "'[\"dali1"
check '' torvi-cli --ip ''
check 'make-firmware' korvan-sim m
check '--method|--model' korvan-sim make-firmware --m
check 'fw.bin|fw.binary|sub' korvan-sim make-firmware --out ''
check 'sub' korvan-sim --state ''
check '--controllers' korvan-sim --c
check 'ch1.csv|my file.csv|sub' korvan-sim --controllers 4 --inventory ''
check 'check-csv|diff|export-csv|report|show|--help|--version' torvi-inspect ''
check 'groups' torvi-inspect check-csv --kind = g
check '1|2|3|4' torvi-inspect export-csv --channel ''
check '--channel|--help|--out' torvi-inspect export-csv -
check 'a.zip|b.tar|fw.bin|fw.binary|sub' torvi-inspect show ''
check 'a.zip|b.tar|fw.bin|sub' torvi-inspect diff a.zip ''
check 'a.zip|b.tar|fw.bin|sub' torvi-inspect check-csv --kind inputs --against ''
check 'ch1.csv|my file.csv|sub' torvi-inspect check-csv --kind channel ''
check 'sub' torvi-inspect export-csv --channel 1 --out ''
check '--help|--out|--title' torvi-inspect report -
check 'a.zip|sub' torvi-inspect report --title Site a.zip ''
check 'site.html|sub' torvi-inspect report --out ''
check 'backup|firmware|restore|status|--help|--version' torvi-site ''
check '--from' torvi-site restore --allow-other-serial --f
check 'ch1.csv|my file.csv|sub' torvi-site status ''
check 'fw.bin|fw.binary|sub' torvi-site firmware --package ''
check 'hall-1|hall-2' torvi-site firmware "$inventory" --canary hall
check 'roof,hall-1|roof,hall-2' torvi-site status "$inventory" --only roof,h
if [[ -n $sim ]]; then
  check 'http-delay=' "$sim" --fault http-d
  check 'backup-huge-member' "$sim" --fault = backup-h
fi

echo "completion: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
