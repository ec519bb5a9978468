// An atom of pattern text spelled so that any symbol text survives parsing: quoted, with quotes and
// backslashes escaped. Shared by the pattern fuzzer and its seed generator.
#pragma once

#include <string>
#include <string_view>

namespace tarnvel::fuzzing {

inline std::string quote_atom(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

}  // namespace tarnvel::fuzzing
