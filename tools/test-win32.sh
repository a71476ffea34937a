#!/usr/bin/env bash
# Builds pfndb.exe, pfnstat.exe and the unit suites for 32-bit Windows and
# runs them under Wine; then packs the release archive, the x64 pair from
# build-win64 (tools/test-win64.sh tests it) beside them. Installs what is
# missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-win32.sh
# The prefix must exist before CTest starts anything under Wine.
tools/wine-prefix.sh start
trap 'tools/wine-prefix.sh stop || true' EXIT

cmake --preset win32 >/dev/null
cmake --build --preset win32
ctest --preset win32

cmake --preset win64 >/dev/null
cmake --build --preset win64 --target pfndb64 pfnstat64

# The products import nothing but system DLLs.
for exe in build-win32/pfndb.exe build-win32/pfnstat.exe build-win64/pfndb64.exe \
           build-win64/pfnstat64.exe; do
  imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' |
            sort | tr '\n' ' ')
  if [[ $imports != "KERNEL32.dll msvcrt.dll " ]]; then
    echo "$exe imports more than system DLLs: $imports" >&2
    exit 1
  fi
  echo "$exe imports: $imports"
done

# The release archive: the programs, their licence and the users' readme, and
# none of the test-only builds (launcher, machine modules). Sorted.
release_files=(LICENSE README.txt pfndb.exe pfndb64.exe pfnstat.exe pfnstat64.exe)
(cd build-win32 && cpack -G ZIP >/dev/null)
version=$(sed -n 's/^project(pfndb VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=build-win32/pfndb-$version-win32.zip
contents=$(python3 -c 'import sys, zipfile; print(" ".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip")
if [[ $contents != "${release_files[*]}" ]]; then
  echo "$zip holds: $contents" >&2
  exit 1
fi
echo "$zip: $contents"
# The readme is read in Notepad, which before Windows 10 runs every line of a
# file with bare LF line ends into one.
if ! python3 -c 'import sys, zipfile
text = zipfile.ZipFile(sys.argv[1]).read("README.txt")
sys.exit(not text.endswith(b"\r\n") or text.count(b"\n") != text.count(b"\r\n"))' "$zip"; then
  echo "$zip: README.txt does not end every line in CR LF" >&2
  exit 1
fi

# What Windows reads before running them: the four programs in the archive carry
# their manifest (asInvoker) and version information.
python3 tools/check_exe_resources.py "$zip" "$version"
