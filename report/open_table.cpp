#include "report/open_table.h"

uint32_t OpenTableBits(uint64_t count, uint32_t spread, uint32_t leastBits, uint32_t mostBits) {
  assert(leastBits <= mostBits && mostBits <= 31);
  uint32_t bits = leastBits;
  while (bits < mostBits && (uint64_t{1} << bits) / spread < count) ++bits;
  return bits;
}
