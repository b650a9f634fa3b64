// Code page 1250 against the terminal's Unicode: every byte, Polish letters, refused input.
#include "platform/posix/cp1250.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <regex>
#include <string>
#include <string_view>

namespace qs::platform {
namespace {

const std::string kPolishBytes =
    "\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF";
const std::wstring kPolish = L"ąćęłńóśźżĄĆĘŁŃÓŚŹŻ";
constexpr unsigned char kUndefined[] = {0x81, 0x83, 0x88, 0x90, 0x98};

TEST(Cp1250, PolishLettersBothWays) {
  EXPECT_EQ(Cp1250ToWide(kPolishBytes), kPolish);
  std::string back;
  for (const wchar_t c : kPolish) {
    const auto byte = WideToCp1250(c);
    ASSERT_TRUE(byte.has_value()) << static_cast<unsigned>(c);
    EXPECT_TRUE(Cp1250Typable(c)) << static_cast<unsigned>(c);
    back.push_back(static_cast<char>(*byte));
  }
  EXPECT_EQ(back, kPolishBytes);
  // Where 1250 and Latin-1 part: the old byte-as-code-point display showed these wrongly.
  EXPECT_EQ(Cp1250ToWide(0x80), L'€');
  EXPECT_EQ(Cp1250ToWide(0xA3), L'Ł');
  EXPECT_EQ(Cp1250ToWide(0xE9), L'é');
  EXPECT_EQ(Cp1250ToWide('A'), L'A');
}

TEST(Cp1250, EveryByteComesBackUnchanged) {
  for (unsigned b = 0; b < 0x100; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    EXPECT_EQ(WideToCp1250(Cp1250ToWide(byte)), byte) << b;
  }
}

TEST(Cp1250, PrintableBytesAgreeWithTheSystemConverter) {
  iconv_t cd = iconv_open("WCHAR_T", "CP1250");
  if (cd == reinterpret_cast<iconv_t>(-1)) GTEST_SKIP() << "no CP1250 converter installed";
  int compared = 0;
  for (unsigned b = 0x20; b < 0x100; ++b) {
    if (b == 0x7F) continue;
    char in = static_cast<char>(b);
    wchar_t out = 0;
    char* inPtr = &in;
    char* outPtr = reinterpret_cast<char*>(&out);
    std::size_t inLeft = 1;
    std::size_t outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) continue;
    EXPECT_EQ(static_cast<unsigned>(Cp1250ToWide(static_cast<unsigned char>(b))),
              static_cast<unsigned>(out))
        << b;
    ++compared;
  }
  iconv_close(cd);
  EXPECT_EQ(compared, 256 - 0x20 - 1 - 5);  // all but the controls and the undefined five
}

TEST(Cp1250, UndefinedAndControlBytesAreNeverSentAsControls) {
  // Shown as private-use characters: a terminal does not act on them, and they cannot be typed.
  for (const unsigned char byte : kUndefined) {
    const wchar_t shown = Cp1250ToWide(byte);
    EXPECT_EQ(shown, kCp1250RawByteBase + byte);
    EXPECT_FALSE(Cp1250Typable(shown));
    // The C1 control with the same number is not the byte.
    EXPECT_FALSE(WideToCp1250(static_cast<wchar_t>(byte)).has_value()) << unsigned{byte};
  }
  for (const unsigned char byte : std::string_view{"\x01\x0D\x1B\x7F"}) {
    EXPECT_EQ(Cp1250ToWide(byte), kCp1250RawByteBase + byte);
    EXPECT_FALSE(WideToCp1250(static_cast<wchar_t>(byte)).has_value()) << unsigned{byte};
  }
  // A private-use character that stands for no raw byte is no byte at all.
  EXPECT_FALSE(WideToCp1250(static_cast<wchar_t>(kCp1250RawByteBase + 'A')).has_value());
}

TEST(Cp1250, CharactersOutsideTheCodePageAreRefused) {
  for (const wchar_t c :
       {L'ñ', L'ø', L'å', L'Ω', L'ж', L'日', L'\u0081', L'\uFFFD', static_cast<wchar_t>(0x1F600)}) {
    EXPECT_FALSE(WideToCp1250(c).has_value()) << static_cast<unsigned>(c);
    EXPECT_FALSE(Cp1250Typable(c)) << static_cast<unsigned>(c);
  }
}

TEST(Cp1250, EditBoxFilterTakesExactlyTheTypableCharacters) {
  // The edit box matches each typed character alone against its filter.
  const std::wregex filter(Cp1250InputFilter());
  const auto takes = [&](wchar_t c) { return std::regex_match(std::wstring(1, c), filter); };
  int taken = 0;
  for (unsigned b = 0; b < 0x100; ++b) {
    const wchar_t c = Cp1250ToWide(static_cast<unsigned char>(b));
    EXPECT_EQ(takes(c), Cp1250Typable(c)) << b;
    taken += takes(c) ? 1 : 0;
  }
  EXPECT_EQ(taken, 256 - 0x20 - 1 - 5);
  for (const wchar_t c : kPolish) EXPECT_TRUE(takes(c)) << static_cast<unsigned>(c);
  for (const wchar_t c : L"\\]^-[ :/.") EXPECT_TRUE(c == 0 || takes(c)) << static_cast<unsigned>(c);
  for (const wchar_t c : {L'ñ', L'日', L'\u0081', L'\x1B', static_cast<wchar_t>(0xF781)}) {
    EXPECT_FALSE(takes(c)) << static_cast<unsigned>(c);
  }
}

// What a client sends reaches stdout (the journal, or a terminal) readable and inert.
TEST(Cp1250, PrintableLinesShowControlBytesInCaretNotationAndLettersInUtf8) {
  EXPECT_EQ(Cp1250ToPrintableUtf8("Komenda:\x1b"
                                  "BAUD=9600\r"),
            "Komenda:^[BAUD=9600^M");
  EXPECT_EQ(Cp1250ToPrintableUtf8(std::string("a\0b\x7f\t", 5)), "a^@b^?^I");
  EXPECT_EQ(Cp1250ToPrintableUtf8("\xb9\x9c\xa3\x80"), "\u0105\u015b\u0141\u20ac");
  EXPECT_EQ(Cp1250ToPrintableUtf8("\x81\x98"), "\\x81\\x98");  // undefined in 1250
  for (int byte = 0; byte < 0x100; ++byte) {
    const std::string line = Cp1250ToPrintableUtf8(std::string(1, static_cast<char>(byte)));
    for (const char c : line) {
      const auto u = static_cast<unsigned char>(c);
      EXPECT_TRUE(u >= 0x20 && u != 0x7F) << "byte " << byte;
    }
  }
}

}  // namespace
}  // namespace qs::platform
