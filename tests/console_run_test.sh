#!/usr/bin/env bash
# console_run_test.sh LAUNCHER EXE MACHINE RUNNER: runs the Windows build
# through the launcher (under RUNNER, the Wine wrapper) with standard output on
# a pseudo-terminal, where Wine gives it a console, and checks that it exits
# with 0 and the console shows the lines of the same run into a file. The
# console draws a screen: it drops trailing spaces and skips runs of them.
set -uo pipefail
win() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
# Three thousand lines: many console writes of the largest size.
export PFNDB_STANDIN_PAGES=3000 PFNDB_STANDIN_PROCESSES=10
unset PFNDB_STANDIN_LATER
run=("$4" "$1" "$(win "$3")" "$(win "$2")" -p)
file=$(mktemp)
trap 'rm -f "$file"' EXIT
"${run[@]}" >"$file" </dev/null || { echo "FAIL the run into a file"; exit 1; }
python3 - "$file" "${run[@]}" <<'PY'
import fcntl, os, pty, re, struct, subprocess, sys, termios
master, slave = pty.openpty()
fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 250, 0, 0))  # no line wraps
child = subprocess.Popen(sys.argv[2:], stdin=slave, stdout=slave, stderr=subprocess.DEVNULL)
os.close(slave)
shown = b""
try:
    while piece := os.read(master, 65536):
        shown += piece
except OSError:  # EIO: the last writer has gone
    pass
status = child.wait()
def lines(text):
    text = re.sub(rb"\x1b\[(\d*)C", lambda m: b" " * int(m.group(1) or b"1"), text)
    text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", text).replace(b"\r", b"")
    return [line.rstrip(b" ") for line in text.split(b"\n")]
got, want = lines(shown), lines(open(sys.argv[1], "rb").read())
drawn = b"\x1b[" in shown  # else no console took the output
ok = status == 0 and drawn and got == want
print(f"{'ok  ' if ok else 'FAIL'} exit status {status}, {len(got)} lines through a console "
      f"(drawn: {drawn}), {len(want)} into a file")
sys.exit(not ok)
PY
