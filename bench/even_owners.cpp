// Rewrites a page-frame dump (stdin to stdout) so that its process-private
// pages with owners belong to 200 owners in equal shares, each page's owner
// drawn from its address: the shape where no process dominates and every
// owner look-up is a surprise. Every other line is copied as it is.
//
//   even_owners <dump >even_dump
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const int kOwners = 200;
const char kHeader[] = "Address        List         Type       Process      VA ";
const char kPrivate[] = "Process Private ";
const size_t kTail = 18;  // " VA " after the names

// Names of 5 to 12 bytes, as the report prints them (cut to 12).
std::string OwnerName(int i) {
  static const char* const kBases[] = {"svchost", "firefox", "devenv", "OUTLOOK", "explorer",
                                       "WINWORD", "cl",      "lsass",  "msiexec", "link"};
  const int bases = sizeof(kBases) / sizeof(kBases[0]);
  std::string name = std::string(kBases[i % bases]) + std::to_string(i / bases) + ".exe";
  return name.size() > 12 ? name.substr(0, 12) : name;
}

inline uint32_t Mix(uint64_t x) {
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return static_cast<uint32_t>(x ^ (x >> 31));
}

}  // namespace

int main() {
  std::string names[kOwners];
  for (int i = 0; i < kOwners; ++i) names[i] = " " + OwnerName(i) + " ";
  static char in[1 << 20];
  std::string out;
  std::string line;
  bool table = false;
  size_t got;
  while ((got = fread(in, 1, sizeof(in), stdin)) > 0) {
    for (size_t i = 0; i < got; ++i) {
      if (in[i] != '\n') {
        line += in[i];
        continue;
      }
      const char* at = table ? strstr(line.c_str(), kPrivate) : nullptr;
      const size_t names_start = at ? at - line.c_str() + sizeof(kPrivate) - 1 : 0;
      if (at != nullptr && line.size() > names_start + kTail && line[0] != ' ') {
        const uint64_t address = strtoull(line.c_str(), nullptr, 16);
        out.append(line, 0, names_start);
        out += names[Mix(address) % kOwners];
        out.append(line, line.size() - kTail, kTail);
      } else {
        out += line;
        if (line == kHeader) table = true;
      }
      out += '\n';
      line.clear();
    }
    if (out.size() >= sizeof(in)) {
      fwrite(out.data(), 1, out.size(), stdout);
      out.clear();
    }
  }
  out += line;
  fwrite(out.data(), 1, out.size(), stdout);
  return ferror(stdout) || fflush(stdout) != 0 ? 1 : 0;
}
