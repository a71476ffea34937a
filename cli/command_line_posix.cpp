#include "cli/command_line.h"

#include <cstring>

namespace {

struct Writer {
  wchar_t* line;
  size_t room;
  size_t length;  // characters written or, past the room, counted
};

void Put(Writer* writer, unsigned char byte, size_t times = 1) {
  for (size_t i = 0; i < times; ++i, ++writer->length)
    if (writer->length < writer->room) writer->line[writer->length] = static_cast<wchar_t>(byte);
}

bool NeedsQuotes(const char* argument) {
  return *argument == '\0' || strpbrk(argument, " \t\"") != nullptr;
}

}  // namespace

size_t JoinCommandLine(int count, const char* const* argv, wchar_t* line, size_t room) {
  Writer writer = {line, room, 0};
  for (int i = 0; i < count; ++i) {
    if (i > 0) Put(&writer, ' ');
    const char* argument = argv[i];
    if (!NeedsQuotes(argument)) {
      for (const char* c = argument; *c != '\0'; ++c) Put(&writer, static_cast<unsigned char>(*c));
      continue;
    }
    Put(&writer, '"');
    size_t backslashes = 0;
    for (const char* c = argument;; ++c) {
      if (*c == '\\') {
        ++backslashes;
        continue;
      }
      // Backslashes are literal unless a quote follows them, the closing one
      // included: then each is doubled, and an inner quote gets one more.
      if (*c == '\0') {
        Put(&writer, '\\', 2 * backslashes);
        break;
      }
      if (*c == '"') {
        Put(&writer, '\\', 2 * backslashes + 1);
      } else {
        Put(&writer, '\\', backslashes);
      }
      Put(&writer, static_cast<unsigned char>(*c));
      backslashes = 0;
    }
    Put(&writer, '"');
  }
  Put(&writer, '\0');
  if (room > 0 && writer.length > room) line[room - 1] = L'\0';
  return writer.length;
}
