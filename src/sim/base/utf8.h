// UTF-8 as Python encodes a str: shortest forms only, no surrogates, nothing
// above U+10FFFF. Names read from payloads must decode back into a str, and
// display text is shown character by character; both decide validity here.
#pragma once

#include <cstddef>
#include <string_view>

namespace vantrel::sim {

// Decodes the sequence starting at text[i] (i < text.size()): returns its
// length (1 to 4) with its code point in `cp`, or 0 when the bytes there are
// not a valid sequence (overlong forms, surrogates, code points above
// U+10FFFF, a sequence cut short by the end of `text`), `cp` then unspecified.
std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& cp);

// True when all of `text` is valid UTF-8; linear in its length.
bool is_valid_utf8(std::string_view text);

}  // namespace vantrel::sim
