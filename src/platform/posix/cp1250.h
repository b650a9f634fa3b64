// Settings texts are bytes of Windows code page 1250; the terminal shows Unicode.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qs::platform {

// First of 256 private-use code points that stand for the bytes with no character of their
// own on screen: the five that 1250 leaves undefined and the control codes, which a terminal
// would obey instead of showing. They convert back to the same byte, so such a byte survives
// a round trip through an edit box unchanged.
inline constexpr wchar_t kCp1250RawByteBase = 0xF700;

// The character that a 1250 byte is shown as.
wchar_t Cp1250ToWide(unsigned char byte);
std::wstring Cp1250ToWide(std::string_view bytes);

// Bytes of 1250 as a line of UTF-8 that a journal or a terminal shows as it is: control
// codes in caret notation (ESC as ^[, CR as ^M, DEL as ^?), which no terminal obeys and no
// journal takes for binary data, and the five bytes 1250 leaves undefined as \xNN.
std::string Cp1250ToPrintableUtf8(std::string_view bytes);

// A character as UTF-8, appended to out; 1250 and its raw-byte stand-ins lie below U+10000.
void AppendUtf8(std::string& out, char32_t c);

// The 1250 byte for a character, or nothing when 1250 cannot hold it.
std::optional<unsigned char> WideToCp1250(wchar_t c);

// True for the characters that may be typed into a settings text: printable and held by 1250.
bool Cp1250Typable(wchar_t c);

// A regular expression that matches one typable character, as an edit box's input filter.
std::wstring Cp1250InputFilter();

}  // namespace qs::platform
