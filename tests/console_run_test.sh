#!/usr/bin/env bash
# console_run_test.sh LAUNCHER EXE MACHINE RUNNER: runs the Windows build
# through the launcher (under RUNNER, the Wine wrapper) with standard output
# on a pseudo-terminal, where Wine gives it a console handle, and checks the
# exit status and that the whole dump came through the console: the same
# lines as the same run into a file. The console draws a screen, not a byte
# stream: it drops trailing spaces and moves the cursor over runs of them.
set -uo pipefail

launcher=$1 exe=$2 machine=$3 runner=$4
win() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Three thousand lines: many console writes of the largest size.
export PFNDB_STANDIN_PAGES=3000 PFNDB_STANDIN_PROCESSES=10
unset PFNDB_STANDIN_LATER
run=("$runner" "$launcher" "$(win "$machine")" "$(win "$exe")" -p)

"${run[@]}" >"$work/file" </dev/null || { echo "FAIL the run into a file"; exit 1; }
python3 - "$work/file" "${run[@]}" <<'PY'
import fcntl, os, pty, re, struct, subprocess, sys, termios

master, slave = pty.openpty()
# Wide enough that no line wraps.
fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 250, 0, 0))
child = subprocess.Popen(sys.argv[2:], stdin=slave, stdout=slave, stderr=subprocess.DEVNULL)
os.close(slave)
shown = bytearray()
while True:
    try:
        piece = os.read(master, 65536)
    except OSError:  # EIO: every writer has gone
        break
    if not piece:
        break
    shown += piece
status = child.wait()

def lines(text):
    text = re.sub(rb"\x1b\[(\d*)C", lambda m: b" " * int(m.group(1) or b"1"), text)
    text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", text).replace(b"\r", b"")
    return [line.rstrip(b" ") for line in text.split(b"\n")]

want = lines(open(sys.argv[1], "rb").read())
got = lines(bytes(shown))
failures = 0
if status != 0:
    print(f"FAIL exit status {status} on a console")
    failures += 1
if b"\x1b[" not in shown:
    print("FAIL no console drew the output (no escape sequence)")
    failures += 1
if got != want:
    print(f"FAIL {len(got)} lines on the console, {len(want)} into a file")
    failures += 1
if failures == 0:
    print(f"ok   {len(got) - 1} lines through a console, exit status 0")
sys.exit(failures > 0)
PY
