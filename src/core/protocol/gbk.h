#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quillan::protocol {

// Decodes server text to UTF-8, as a browser decodes a document labelled GBK (the WHATWG
// Encoding Standard's decode with the gb18030 decoder, four-byte sequences included):
//   EF BB BF  the rest is UTF-8
//   FF FE     the rest is UTF-16LE
//   FE FF     the rest is UTF-16BE
//   otherwise the whole range is GBK / GB18030
// Every malformed sequence becomes U+FFFD and decoding goes on; it never fails. The whole range
// is decoded: NUL bytes stay in the text.
std::string decode_gbk(std::span<const uint8_t> bytes);

// Decodes UTF-8 text, replacing each maximal ill-formed subpart with one U+FFFD (the WHATWG
// UTF-8 decoder; Python's bytes.decode("utf-8", "replace") gives the same text). No byte-order
// mark is looked for and NUL bytes stay in the text. Never fails.
std::string decode_utf8(std::span<const uint8_t> bytes);

// Whether `bytes` are well-formed UTF-8: no overlong forms, surrogates, code points above
// U+10FFFF or cut sequences.
bool is_utf8(std::span<const uint8_t> bytes);

}  // namespace quillan::protocol
