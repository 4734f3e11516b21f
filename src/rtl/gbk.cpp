#include "rtl/gbk.h"

#include <cerrno>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace rtl {
namespace {

bool AllAscii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Length of the UTF-8 sequence starting at s[i]; 1 for a byte that starts no valid sequence.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 1;
  for (size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
  }
  return n;
}

#ifdef _WIN32

// Character by character, so that both platforms agree: a character outside GBK (also one beyond
// the basic plane) becomes one "?", and a byte sequence that is no GBK character one U+FFFD.
void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string ConvertToGbk(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const size_t n = Utf8SequenceLength(utf8, i);
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (n == 1 || n == 4) {
      out += '?';
    } else {
      uint32_t cp = c & (n == 2 ? 0x1F : 0x0F);
      for (size_t k = 1; k < n; ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
      const wchar_t w = static_cast<wchar_t>(cp);
      char buf[4];
      BOOL lossy = FALSE;
      const int len =
          WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, &w, 1, buf, sizeof buf, "?", &lossy);
      if (len <= 0 || lossy) {
        out += '?';
      } else {
        out.append(buf, static_cast<size_t>(len));
      }
    }
    i += n;
  }
  return out;
}

std::string ConvertFromGbk(std::string_view gbk) {
  std::string out;
  out.reserve(gbk.size() * 3 / 2);
  for (size_t i = 0; i < gbk.size();) {
    const unsigned char c = static_cast<unsigned char>(gbk[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    const unsigned char t = i + 1 < gbk.size() ? static_cast<unsigned char>(gbk[i + 1]) : 0;
    wchar_t w = 0;
    if (c >= 0x81 && c <= 0xFE && t >= 0x40 && t <= 0xFE && t != 0x7F &&
        MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, gbk.data() + i, 2, &w, 1) == 1) {
      AppendUtf8(out, w);
      i += 2;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

#else

// One conversion direction, opened once per thread.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): (iconv_t)-1 is iconv_open's failure value.
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  // Converts `in`; an input sequence that cannot be converted yields `replacement` and is skipped
  // (one whole UTF-8 character when `utf8_input`, otherwise one byte).
  std::string Run(std::string_view in, std::string_view replacement, bool utf8_input) {
    std::string out;
    out.reserve(in.size() * 2);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    char buf[256];
    while (left > 0) {
      char* dst = buf;
      size_t room = sizeof buf;
      const size_t r = iconv(cd_, &src, &left, &dst, &room);
      out.append(buf, dst);
      if (r == static_cast<size_t>(-1)) {
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL: an unconvertible or broken sequence.
        out += replacement;
        const size_t skip =
            utf8_input ? Utf8SequenceLength(std::string_view(src, left), 0) : size_t{1};
        src += skip;
        left -= skip;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      }
    }
    char* dst = buf;
    size_t room = sizeof buf;
    iconv(cd_, nullptr, nullptr, &dst, &room);
    out.append(buf, dst);
    return out;
  }

 private:
  iconv_t cd_;
};

std::string ConvertToGbk(std::string_view utf8) {
  thread_local Converter to_gbk("GBK", "UTF-8");
  return to_gbk.Run(utf8, "?", true);
}

std::string ConvertFromGbk(std::string_view gbk) {
  thread_local Converter from_gbk("UTF-8", "GBK");
  return from_gbk.Run(gbk, "\xEF\xBF\xBD", false);
}

#endif

}  // namespace

std::string Utf8ToGbk(std::string_view utf8) {
  if (AllAscii(utf8)) return std::string(utf8);
  return ConvertToGbk(utf8);
}

std::string GbkToUtf8(std::string_view gbk) {
  if (AllAscii(gbk)) return std::string(gbk);
  return ConvertFromGbk(gbk);
}

std::size_t GbkLength(std::string_view utf8) {
  if (AllAscii(utf8)) return utf8.size();
  return ConvertToGbk(utf8).size();
}

std::string GbkTruncate(std::string_view utf8, std::size_t max_bytes) {
  // Every character takes at least as many UTF-8 bytes as GBK bytes.
  if (utf8.size() <= max_bytes || GbkLength(utf8) <= max_bytes) return std::string(utf8);
  size_t width = 0;
  size_t i = 0;
  while (i < utf8.size()) {
    const size_t n = Utf8SequenceLength(utf8, i);
    const size_t w = n == 1 ? 1 : ConvertToGbk(utf8.substr(i, n)).size();
    if (width + w > max_bytes) break;
    width += w;
    i += n;
  }
  return std::string(utf8.substr(0, i));
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    const size_t n = Utf8SequenceLength(text, i);
    if (n == 1) return false;
    // Reject overlong forms, surrogates and values past U+10FFFF.
    uint32_t cp = c & (0xFF >> (n + 1));
    for (size_t k = 1; k < n; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

}  // namespace rtl
