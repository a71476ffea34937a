// A hashed table of keys, each with a 32-bit value, open-addressed with
// linear probing: a key lies in the first entry, from its home on (past the
// last entry back to the first), that holds it or is free. The one such
// table the programs keep: the report's name groups by key, pfnstat's
// owners by key (--live) and by text (the tally, keyed by the text's hash).
// The report's slots and the dump reader's fields are not such tables: their
// multiplier is chosen until keys rarely share a slot, so a look-up is one
// load and never probes.
#ifndef PFNDB_REPORT_OPEN_TABLE_H_
#define PFNDB_REPORT_OPEN_TABLE_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

// A key folded to the 32 bits a table hashes.
inline uint32_t FoldKey(uint32_t key) { return key; }
inline uint32_t FoldKey(uint64_t key) { return static_cast<uint32_t>(key ^ key >> 29); }

template <typename Key>
struct OpenEntry {
  Key key;
  uint32_t value;  // 0: the entry is free
};

// 2^bits entries in memory the caller owns. At most half of them are ever
// taken, so a probe ends within a few entries, and always ends.
template <typename Key>
struct OpenTable {
  OpenEntry<Key>* entries;
  uint32_t bits;
  uint32_t count;  // entries taken
};

// The least bits, from leastBits up to mostBits, of a table with `spread`
// entries for each of count keys. REQUIRES: leastBits <= mostBits <= 31.
uint32_t OpenTableBits(uint64_t count, uint32_t spread, uint32_t leastBits, uint32_t mostBits);

// In 64 bits, so that a 32-bit caller can tell a table too large to have.
template <typename Key>
inline uint64_t OpenTableBytes(uint32_t bits) {
  return uint64_t{sizeof(OpenEntry<Key>)} << bits;
}

// Starts table, empty, over entries: 2^bits of them, all zero.
template <typename Key>
inline void OpenTableStart(OpenTable<Key>* table, OpenEntry<Key>* entries, uint32_t bits) {
  assert(bits <= 31);
  table->entries = entries;
  table->bits = bits;
  table->count = 0;
}

// Forgets every key.
template <typename Key>
inline void OpenTableClear(OpenTable<Key>* table) {
  memset(table->entries, 0, static_cast<size_t>(OpenTableBytes<Key>(table->bits)));
  table->count = 0;
}

// Where the probe for a hash starts: its top bits, on which every bit of a
// multiplied key has a say (the low bits of a product depend on the key's
// low bits only).
inline uint32_t OpenHome(uint32_t hash, uint32_t bits) {
  return static_cast<uint32_t>(uint64_t{hash} << bits >> 32);
}

template <typename Key>
inline uint32_t OpenHomeOfKey(Key key, uint32_t bits) {
  return OpenHome(FoldKey(key) * 0x9E3779B1u, bits);
}

// The entry after `at`, in probing order.
template <typename Key>
inline uint32_t OpenAfter(const OpenTable<Key>& table, uint32_t at) {
  return (at + 1) & ((uint32_t{1} << table.bits) - 1);
}

// The first entry from `at` on that holds key or is free.
template <typename Key>
inline uint32_t OpenSeek(const OpenTable<Key>& table, uint32_t at, Key key) {
  for (;; at = OpenAfter(table, at)) {
    const OpenEntry<Key>& entry = table.entries[at];
    if (entry.value == 0 || entry.key == key) return at;
  }
}

// The entry of key, or the free entry where it goes, for a key that is its
// own hash's source (an integer key).
template <typename Key>
inline uint32_t OpenFind(const OpenTable<Key>& table, Key key) {
  return OpenSeek(table, OpenHomeOfKey(key, table.bits), key);
}

// Puts key and value into the free entry at, which a seek for key returned.
// Returns 0, or -1 with nothing put once half the entries are taken.
// REQUIRES: value != 0.
template <typename Key>
inline int OpenPut(OpenTable<Key>* table, uint32_t at, Key key, uint32_t value) {
  assert(value != 0 && table->entries[at].value == 0);
  if (table->count >= (uint32_t{1} << table->bits) / 2) return -1;
  table->entries[at].key = key;
  table->entries[at].value = value;
  ++table->count;
  return 0;
}

#endif  // PFNDB_REPORT_OPEN_TABLE_H_
