#include "sim/base/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace vantrel::sim {
namespace {

// The form of cp in `len` bytes (len larger than needed gives an overlong form).
std::string encode(std::uint32_t cp, std::size_t len) {
  if (len == 1) return std::string(1, static_cast<char>(cp));
  static constexpr unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  std::string s(len, '\0');
  for (std::size_t k = len - 1; k > 0; --k, cp >>= 6) s[k] = static_cast<char>(0x80 | (cp & 0x3F));
  s[0] = static_cast<char>(kLead[len] | cp);
  return s;
}

std::size_t shortest(std::uint32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

// Every code point's shortest form decodes to it unless it is a surrogate;
// its longer (overlong) forms, the forms cut short, and the four-byte forms
// past U+10FFFF never decode.
TEST(Utf8, AcceptsExactlyTheShortestFormsOfScalarValues) {
  char32_t cp_out = 0;
  for (std::uint32_t cp = 0; cp < 0x140000; ++cp) {
    const std::size_t len = shortest(cp);
    const std::string s = encode(cp, len);
    const bool scalar = cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    ASSERT_EQ(decode_utf8(s, 0, cp_out), scalar ? len : 0) << std::hex << cp;
    if (scalar) {
      ASSERT_EQ(cp_out, cp);
    }
    ASSERT_EQ(is_valid_utf8("a" + s + "b"), scalar) << std::hex << cp;
    if (len > 1) {
      ASSERT_FALSE(is_valid_utf8(s.substr(0, len - 1))) << std::hex << cp;
    }
    for (std::size_t longer = len + 1; longer <= 4; ++longer)
      ASSERT_FALSE(is_valid_utf8(encode(cp, longer))) << std::hex << cp << " in " << longer;
  }
  EXPECT_FALSE(is_valid_utf8("\x80"));
  EXPECT_FALSE(is_valid_utf8("\xF8\x88\x80\x80\x80"));
}

}  // namespace
}  // namespace vantrel::sim
