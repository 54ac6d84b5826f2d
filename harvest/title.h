#pragma once
// Where a harvested picture was found, as the service tells it: the page
// that shows it and that page's title, made fit to keep beside the picture.
#include <cstddef>
#include <string>
#include <string_view>

namespace lumigrab {

// A title longer than this is cut at a character boundary; the service's run
// to a few dozen characters, and a record stays small whatever a page holds.
inline constexpr std::size_t kMaxTitleBytes = 1024;

// A page title the service wrote as HTML (its keyword in <strong>, "&amp;")
// as plain UTF-8 text: tags removed, character references decoded, runs of
// white space made one space and trimmed at both ends, and control
// characters and direction marks and overrides dropped, so the text can sit
// in a file name's neighbour, a tab-separated line or a terminal unharmed.
// Bytes that are not UTF-8 become U+FFFD. A "<" that opens no tag, and an
// "&" that starts no known reference, stay as they are.
std::string PlainTitle(std::string_view html);

// The address of the page a picture was found on, from the record's fromURL:
// in the clear as it is, or deciphered when the service ciphered it (a
// ciphered address has no ":").
std::string SourcePageAddress(std::string_view fromUrl);

}  // namespace lumigrab
