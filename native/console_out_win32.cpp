#include "native/console_out_win32.h"

#include "native/console.h"

// The runtime's text mode would turn each "\n" into "\r\n", but it does so in
// a small buffer and hands every kilobyte or so to the system as a write of
// its own: over a million writes for a 64 GiB machine's dump, each of them
// costly (on a character device such as NUL, under Wine, very much so).
// Writing the standard output handle directly takes a write per megabyte:
// the 64 GiB dump under Wine (through qemu-i386) went from 11.2 s to 6.6 s
// into a tmpfs file and from 241 s to 5.2 s into /dev/null
// (bench/win32_bench.sh). The lines already end in "\r\n" (line_end_win32.h),
// so the bytes go out as they are. Nothing else writes to the runtime's
// stdout, so there is nothing of its to flush or to interleave with.
//
// A console is different. Up to Windows 7 a console write is staged in a
// 64 KiB heap the process's console calls share, and a larger one fails
// with ERROR_NOT_ENOUGH_MEMORY; a console gets a quarter of that per write,
// which leaves room for what else the heap holds. Who reads a console does
// not notice the extra writes. GetConsoleMode alone does not tell a console:
// it needs read access, so a console handle opened for writing only fails it.
// The handle's file type does not: any character device gets the console's
// pieces, since one that is not a console (NUL, a serial port) loses nothing
// by them that matters.

namespace {

const StandardOutputCalls kSystemCalls = {WriteFile, GetConsoleMode, GetFileType};
StandardOutputCalls g_calls = kSystemCalls;

}  // namespace

void SetStandardOutputCalls(const StandardOutputCalls* calls) {
  g_calls = calls != nullptr ? *calls : kSystemCalls;
}

int StandardOutputWrite(const char* bytes, size_t count) {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  // Asked on every call, a megabyte of output apart: the handle is then
  // never judged by what it was earlier.
  DWORD mode = 0;
  const bool console =
      g_calls.getConsoleMode(handle, &mode) || g_calls.getFileType(handle) == FILE_TYPE_CHAR;
  const size_t most = console ? kConsoleWritePiece : kOtherWritePiece;
  while (count > 0) {
    DWORD written = 0;
    const DWORD piece = static_cast<DWORD>(count < most ? count : most);
    if (!g_calls.writeFile(handle, bytes, piece, &written, nullptr) || written == 0) return -1;
    bytes += written;
    count -= written;
  }
  return 0;
}

// Nothing is held back.
int StandardOutputFlush() { return 0; }
