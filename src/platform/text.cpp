// Conversion between 16-bit texts and UTF-8 names, with invalid bytes carried through as lone
// surrogates so that any name read from a file or a folder comes back as the same bytes.
#include "platform/platform.h"

namespace vellomir::platform {
namespace {

constexpr char16_t kEscapeBase = 0xDC00;  // U+DC80..U+DCFF stand for the bytes 0x80..0xFF

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at `text[i]`, 0 if there is none. Overlong forms, surrogate
// code points and values above U+10FFFF are invalid, as the standard says.
size_t ValidSequenceLength(std::string_view text, size_t i, char32_t& code_point) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const size_t left = text.size() - i;
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  }
  size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (left < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    if (!IsContinuation(byte(k))) return 0;
    value = (value << 6) | (byte(k) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  code_point = value;
  return length;
}

void AppendUtf16(std::u16string& out, char32_t code_point) {
  if (code_point < 0x10000) {
    out.push_back(static_cast<char16_t>(code_point));
  } else {
    code_point -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
  }
}

void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

enum class LoneSurrogates { kAsEscapedBytes, kAsReplacement };

std::string ToUtf8(std::u16string_view text, LoneSurrogates lone) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      if (lone == LoneSurrogates::kAsEscapedBytes && unit >= kEscapeBase + 0x80 &&
          unit <= kEscapeBase + 0xFF) {
        out.push_back(static_cast<char>(unit - kEscapeBase));
      } else {
        AppendUtf8(out, 0xFFFD);
      }
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

}  // namespace

std::u16string FromNative(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    char32_t code_point = 0;
    const size_t length = ValidSequenceLength(bytes, i, code_point);
    if (length == 0) {
      out.push_back(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(bytes[i])));
      ++i;
    } else {
      AppendUtf16(out, code_point);
      i += length;
    }
  }
  return out;
}

std::string ToNative(std::u16string_view text) {
  return ToUtf8(text, LoneSurrogates::kAsEscapedBytes);
}

std::string ToUtf8ForDisplay(std::u16string_view text) {
  return ToUtf8(text, LoneSurrogates::kAsReplacement);
}

}  // namespace vellomir::platform
