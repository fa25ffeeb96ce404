// Code page 437, the character set of the driver's banner, to UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace qelhost {

// Bytes 0x00..0x7F stay as they are (line feeds included); 0x80..0xFF become the characters of
// code page 437 (box drawing, shading, accented letters).
std::string Cp437ToUtf8(std::string_view text);

}  // namespace qelhost
