#!/usr/bin/env bash
# What a Windows user finds in the download: the zip unpacks to one folder
# with the stripped program, a Russian README for Windows users that names
# that folder, the manual in Windows terms and the licence, the texts with CR LF line ends; the program carries its
# version information and manifest, no debugging sections, and imports
# only Windows' own DLLs; every entry has the one date of the commit, and
# packing again gives the same bytes.
#   zip_contents.sh ZIP PROGRAM OBJDUMP WINDRES STRIP GROFF ZIP_TOOL SOURCE_DIR
set -u
zip=$1 prog=$2 objdump=$3 windres=$4 strip=$5 groff=$6 zip_tool=$7 source=$8
command -v python3 >/dev/null || { echo "SKIP: needs python3 (package python3)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
name=$(basename "$zip" .zip)
python3 - "$zip" "$name" <<'PY' || exit 1
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
name = sys.argv[2]
want = [f"{name}/{f}" for f in
        ("kartoteka.exe", "README.txt", "MANUAL.txt", "LICENSE.txt")]
got = [i.filename for i in z.infolist()]
if got != want:
    sys.exit(f"FAIL: the zip holds {got}, not {want}")
dates = {i.date_time for i in z.infolist()}
if len(dates) != 1:
    sys.exit(f"FAIL: the entries have several dates: {dates}")
PY
(cd "$work" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
dir=$work/$name
for f in README.txt MANUAL.txt LICENSE.txt; do
  lf=$(tr -cd '\n' <"$dir/$f" | wc -c)
  crlf=$(grep -c $'\r$' "$dir/$f")
  [ "$lf" -gt 0 ] && [ "$lf" -eq "$crlf" ] || fail "$f: line ends are not CR LF"
done
head -c 3 "$dir/README.txt" | cmp -s - <(printf '\xef\xbb\xbf') ||
  fail "README.txt has no byte order mark"
[ "$(sed -n '1s/^\xef\xbb\xbf//p' "$dir/README.txt" | tr -d '\r')" = \
  "kartoteka — картотека людей для консоли Windows" ] ||
  fail "README.txt begins: $(head -n 1 "$dir/README.txt")"
for want in "двойной щелчок" "Ctrl+Z" "chcp 65001" "254 байт" "2147483647"; do
  grep -qiF "$want" "$dir/README.txt" || fail "README.txt does not mention $want"
done
grep -qF "$name\\kartoteka.exe" "$dir/README.txt" ||
  fail "README.txt does not name the folder the zip holds, $name"
grep -q '^MIT License' "$dir/LICENSE.txt" || fail "LICENSE.txt is not the licence"
# The manual is the Windows one, in Windows terms only. Its words are read
# with the lines joined, as a line may end in the middle of a phrase.
manual=$(tr -s '\r\n ' '   ' <"$dir/MANUAL.txt")
for want in "Ctrl+Z" "%LOCALAPPDATA%" "CON" "NUL" "chcp 65001" "Блокнот" "двойным щелчком"; do
  grep -qF -- "$want" <<<"$manual" || fail "MANUAL.txt does not mention $want"
done
for linux in O_TMPFILE /tmp TMPDIR Ctrl+D ru_RU /dev/ SIGKILL umask cgroup; do
  ! grep -qF -- "$linux" <<<"$manual" || fail "MANUAL.txt speaks of $linux"
done

exe=$dir/kartoteka.exe
"$objdump" -h "$exe" | grep -q '\.debug' && fail "the program has debugging sections"
dlls=$("$objdump" -p "$exe" | awk '/DLL Name:/ { print tolower($3) }' | sort -u)
for dll in $dlls; do
  case $dll in
    kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll) ;;
    *) fail "the program imports $dll" ;;
  esac
done
rc=$("$windres" -i "$exe" -O rc 2>/dev/null) || fail "no resources in the program"
for want in 'VALUE "FileVersion", "1.0.0"' 'VALUE "ProductName", "kartoteka"' \
  'VALUE "OriginalFilename", "kartoteka.exe"' 'VALUE "LegalCopyright"' \
  'longPathAware' 'level=""asInvoker""' \
  '35138b9a-5d96-4fbd-8e2d-a2440225f93a' '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a'; do
  grep -qF -- "$want" <<<"$rc" || fail "the program's resources lack $want"
done

# Packing again, elsewhere, gives the same zip.
(cd "$work" && mkdir again && cd again &&
  cmake -DPROGRAM="$prog" -DSTRIP="$strip" -DSOURCE="$source" -DNAME="$name" \
    -DGROFF="$groff" -DZIP="$zip_tool" \
    -P "$source/cmake/win64-zip.cmake") >/dev/null ||
  fail "packing again failed"
cmp -s "$zip" "$work/again/$name.zip" || fail "packing again gives another zip"
echo "the zip, its texts and the program's resources: as a user should find them"
