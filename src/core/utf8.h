// Strict UTF-8, as the shard and series files need it: the names of directory entries and
// directories, the keys that readers find in other processes' files, and label texts cut to a
// number of code points. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantorel::utf8 {

// No overlong forms, no surrogates, nothing above U+10FFFF. Calls `on_code_point` for each code
// point; false as soon as the bytes are not UTF-8.
template <class F>
bool decode(std::string_view text, F&& on_code_point) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::uint32_t cp = 0;
    std::size_t extra = 0;
    std::uint32_t min_cp = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      cp = lead & 0x1Fu;
      extra = 1;
      min_cp = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      cp = lead & 0x0Fu;
      extra = 2;
      min_cp = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      cp = lead & 0x07u;
      extra = 3;
      min_cp = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i - 1 < extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cont = static_cast<unsigned char>(text[i + k]);
      if ((cont & 0xC0u) != 0x80u) return false;
      cp = (cp << 6) | (cont & 0x3Fu);
    }
    if (cp < min_cp || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    on_code_point(cp);
    i += extra + 1;
  }
  return true;
}

inline bool valid(std::string_view text) {
  return decode(text, [](std::uint32_t) {});
}

// How many bytes of valid UTF-8 `text` its first `max_code_points` code points take: the text
// cut there ends on a code point boundary.
inline std::size_t prefix_size(std::string_view text, std::size_t max_code_points) noexcept {
  if (text.size() <= max_code_points) return text.size();  // no more code points than bytes
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Every byte but a continuation byte (10xxxxxx) starts a code point.
    if ((static_cast<unsigned char>(text[i]) & 0xC0u) != 0x80u) {
      if (count == max_code_points) return i;
      ++count;
    }
  }
  return text.size();
}

}  // namespace vantorel::utf8
