#!/usr/bin/env python3
"""Writes the seed inputs of fuzz/corpus/ in the formats that fuzz_dump.cpp,
fuzz_options.cpp and fuzz_pfnstat.cpp describe at their top. Run it after
changing any of them."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u8(v):
    return struct.pack('<B', v)


def u32(v):
    return struct.pack('<I', v & 0xFFFFFFFF)


# control byte of one answer
SUCCESS, TOO_SMALL, RAW_STATUS, OVERFLOW = 0, 1, 2, 3
KEEP, NEEDED, RAW_LENGTH, BUFFER = 0 << 2, 1 << 2, 2 << 2, 3 << 2
NO_WRITE = 0x10


def answer(control, status=None, length=None):
    out = u8(control)
    if control & 3 == RAW_STATUS:
        out += u32(status)
    if control & (3 << 2) == RAW_LENGTH:
        out += u32(length)
    return out


def basic(highest, control=SUCCESS | NEEDED):
    return answer(control) + u32(highest)


def ranges(control, count, described, status=None, length=None):
    out = answer(control, status, length) + u32(count) + u8(len(described))
    for first, pages in described:
        out += u32(first) + u32(pages)
    return out


def pfn(templates, control=SUCCESS, entry_count=None):
    out = answer(control) + u8(len(templates))
    for word0, word1, va, page in templates:
        out += u32(word0) + u32(word1) + u32(va) + u32(page)
    if entry_count is None:
        return out + u8(0)
    return out + u8(1) + u32(entry_count)


def sources(control, count, described, status=None, length=None, extra=0, stride=0):
    out = answer(control, status, length) + u32(count) + u8(len(described))
    for kind, key, size, name in described:
        out += u32(kind) + u32(key) + u32(size) + name.encode('latin-1')[:12].ljust(12, b'\0')
    return out + struct.pack('<H', extra) + u32(stride)


def header(flags=0, fail_sites=0, fail_name=0):
    return u8(flags) + u8(fail_sites) + u8(fail_name)


SAME_PAGE = 0xFFFFFFFF
POOL = (4 | 2 << 4, 0, 0xE1000000, SAME_PAGE)
PRIVATE = (0 | 6 << 4 | 0x2C0 << 9, 0, 0x7F0000, SAME_PAGE)
SOURCES = [(2, 0x2C0, 0x1A, 'init'), (1, 0x2C0, 1, 'pool'), (2, 0x4, 0x10, 'System')]


def typical(head=header()):
    return (head + basic(9)
            + ranges(TOO_SMALL | RAW_LENGTH, 0, [], length=24)
            + ranges(SUCCESS | NEEDED, 2, [(0, 4), (5, 2)])
            + pfn([POOL, PRIVATE, POOL])
            + sources(TOO_SMALL | RAW_LENGTH, 0, [], length=8 + 48 * 3)
            + sources(SUCCESS | NEEDED, 3, SOURCES))


DUMP = {
    'typical': typical(),
    # Wine knows no class 79: the probe fails and names no size.
    'wine_zero_length_probe': header() + basic(0x3FFFF)
    + ranges(RAW_STATUS | RAW_LENGTH, 0, [], status=0xC0000003, length=0),
    'zero_ranges': header() + basic(9)
    + ranges(TOO_SMALL | RAW_LENGTH, 0, [], length=8)
    + ranges(SUCCESS | NEEDED, 0, [])
    + pfn([])
    + sources(SUCCESS | NEEDED, 1, [(2, 0x4, 0x10, 'System')]),
    # (highest + 7) * 16 does not fit in 32 bits.
    'highest_page_overflows': header() + basic(0xFFFFFFFF)
    + ranges(TOO_SMALL | RAW_LENGTH, 0, [], length=16)
    + ranges(SUCCESS | NEEDED, 1, [(0, 4)]),
    'ranges_past_the_request': header() + basic(3)
    + ranges(TOO_SMALL | RAW_LENGTH, 0, [], length=32)
    + ranges(SUCCESS | BUFFER, 0x7FFFFFFF, [(0, 0xFFFFFFFF), (0xFFFFFFF0, 0x40), (2, 2)])
    + pfn([PRIVATE], entry_count=0xFFFFFFFF)
    + sources(SUCCESS | RAW_LENGTH, 0x7FFFFFFF, [(2, 0x2C0, 1, 'explorer.exe')], length=0xFFFFFFFF),
    # 1300 processes under keys 4 apart, a page for each of the first ones.
    'many_processes': header() + basic(0x1000)
    + ranges(TOO_SMALL | RAW_LENGTH, 0, [], length=16)
    + ranges(SUCCESS | NEEDED, 1, [(0, 0x1000)])
    + pfn([(0 | 6 << 4 | (0x2C0 + 4 * k) << 9, 0, 0x10000 * k, SAME_PAGE) for k in range(32)])
    + sources(TOO_SMALL | RAW_LENGTH, 0, [], length=8 + 48 * 1300)
    + sources(SUCCESS | NEEDED, 1300, [(2, 0x2C0, 1, 'a.exe'), (2, 0x2C0, 2, 'b.exe')],
              extra=1298, stride=4),
    # One key with 300 names on 64 pages: its names meet the end of a
    # console reservation on several lines.
    'one_key_many_names': header() + basic(0x40)
    + ranges(TOO_SMALL | RAW_LENGTH, 0, [], length=16)
    + ranges(SUCCESS | NEEDED, 1, [(0, 0x40)])
    + pfn([PRIVATE, PRIVATE, POOL])
    + sources(TOO_SMALL | RAW_LENGTH, 0, [], length=8 + 48 * 300)
    + sources(SUCCESS | NEEDED, 300, [(2, 0x2C0, 1, 'verylongname')], extra=299),
    # The report without memory for its name index searches the list.
    'name_index_fails': typical(header(fail_sites=0x10)),
    'second_name_record_fails': typical(header(fail_sites=8, fail_name=1)),
    'output_fails': typical(header(flags=4)),
}


def line(argc, text, delimiters=''):
    out = u8(argc & 0xFF) + u8(len(delimiters))
    for c in delimiters + text:
        out += u8(ord(c)) if ord(c) < 0xFF else b'\xff' + u32(ord(c))
    return out


OPTIONS = {
    'dump': line(2, 'pfndb -p'),
    'usage_first': line(3, 'pfndb -a -p'),
    'quoted_path': line(2, '"C:\\x y\\pfndb.exe" -w', ' '),
    'tabs': line(2, 'pfndb\t-p', '\t '),
    'empty': line(0, ''),
    'conditions_wide_name': line(2, 'pf\u20acndb  -c ', ' \u20ac'),
}


with open(os.path.join(HERE, '..', 'stat', 'testdata', 'small.dump'), 'rb') as f:
    SMALL = f.read()
SMALL_CRLF = SMALL.replace(b'\n', b'\r\n')
HEADER_AT = SMALL.index(b'Address ')
TABLE = SMALL[HEADER_AT:]

# The mode byte: bit 0 two dumps, bits 1 and up the view printed.
TWO = 1
NO_VIEW, TABLES, CSV_USES, CSV_PROCESSES, CSV_RANGES = (v << 1 for v in range(5))

PFNSTAT = {
    'small': u8(0) + u8(TABLES) + SMALL,
    'small_crlf_in_pieces': u8(7) + u8(CSV_PROCESSES) + SMALL_CRLF,
    'change': u8(0) + u8(TWO | TABLES) + TABLE + b'\0' + TABLE.replace(b'Free list ', b'Zero list '),
    'cut_short': u8(13) + u8(CSV_RANGES) + TABLE[:-20],
    'not_a_page_line': u8(0) + u8(CSV_USES) + TABLE + b'cannot convert string to unicode \n',
}


def write(target, seeds):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)


write('fuzz_dump', DUMP)
write('fuzz_options', OPTIONS)
write('fuzz_pfnstat', PFNSTAT)
