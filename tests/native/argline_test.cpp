// The byte rules of host text: cutting the argument line with NextToken,
// reading numbers with ParseDecimal and ParseHex, and telling UTF-8 from
// code-page text, row by row.
#include "host/argline.h"
#include "text/encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct DecimalRow {
    const char* text;
    uint32_t pattern;  // the result's 32-bit pattern
    const char* why;
};

const DecimalRow kDecimalRows[] = {
    {"12abc", 12, "the first non-digit ends the number"},
    {"  +12", 12, "leading white space and a plus sign"},
    {"\t-12", 0xFFFFFFF4u, "a tab is white space; minus negates"},
    {"- 12", 0, "white space after the sign ends the number"},
    {"+-12", 0, "only one sign is read"},
    {"\xa0" "12", 0, "byte 160 is not white space"},
    {"4294967295", 0xFFFFFFFFu, "2^32 - 1 reads as -1"},
    {"4294967296", 0, "2^32 wraps to 0"},
    {"2147483648", 0x80000000u, "2^31 reads as the most negative value"},
    {"99999999999", 0x4876E7FFu, "wraps modulo 2^32, no saturation"},
    {"", 0, "no digits at all"},
    {"abc", 0, "no digits at all"},
    {"\v\f\r\n12", 12, "bytes 9 to 13 are all white space"},
    {"\x08" "12", 0, "byte 8 is not white space"},
    {"-2147483648", 0x80000000u, "the most negative value negates to itself"},
    {"-4294967295", 1, "negation is modulo 2^32"},
    {"0012", 12, "leading zeros"},
    {"\xb2" "12", 0, "a superscript digit is no digit"},
};

class ParseDecimalRows : public testing::TestWithParam<DecimalRow> {};

TEST_P(ParseDecimalRows, GivesTheWrapped32BitValue)
{
    const DecimalRow& row = GetParam();
    EXPECT_EQ(static_cast<uint32_t>(ParseDecimal(row.text)), row.pattern)
        << '"' << row.text << "\": " << row.why;
}

INSTANTIATE_TEST_SUITE_P(Table, ParseDecimalRows, testing::ValuesIn(kDecimalRows));

struct HexRow {
    const char* text;
    bool has_value;
    uint32_t value;
    const char* why;
};

const HexRow kHexRows[] = {
    {"0x1A", true, 0x1A, "lower-case prefix"},
    {"0X1a", true, 0x1A, "upper-case prefix, mixed-case digits"},
    {"1A", true, 0x1A, "no prefix"},
    {"\t1a", true, 0x1A, "leading white space"},
    {"+0x10", true, 0x10, "plus sign before the prefix"},
    {"-1", true, 0xFFFFFFFFu, "minus negates modulo 2^32"},
    {"-0x10", true, 0xFFFFFFF0u, "minus before the prefix"},
    {"123456789", true, 0x23456789u, "the top digit is lost, no saturation"},
    {"FFFFFFFFF", true, 0xFFFFFFFFu, "nine digits keep the last eight"},
    {"100000000", true, 0, "2^32 wraps to 0"},
    {"0x00000000FFFFFFFF", true, 0xFFFFFFFFu, "leading zeros beyond eight digits"},
    {"1g", true, 0x1, "the first non-digit ends the number"},
    {"0", true, 0, "a lone zero is a digit, not half a prefix"},
    {"00x1", true, 0, "a zero, then a zero; reading stops at the x"},
    {"0x0x1", true, 0, "one prefix only; reading stops at the second x"},
    {"0x", false, 0, "a prefix alone is no digit"},
    {"0x-1", false, 0, "a sign after the prefix is no digit"},
    {"g1", false, 0, "no digit where the number begins"},
    {"+", false, 0, "a lone plus"},
    {"-", false, 0, "a lone minus"},
    {"- 1", false, 0, "white space after the sign ends the number"},
    {"   ", false, 0, "white space only"},
    {"", false, 0, "nothing"},
    {"\xa0" "1", false, 0, "byte 160 is not white space"},
    {"+-1", false, 0, "only one sign is read"},
    {"x1", false, 0, "an x without its zero is no prefix"},
    {"\r\n0xdeadBEEF", true, 0xDEADBEEFu, "every digit case"},
};

class ParseHexRows : public testing::TestWithParam<HexRow> {};

TEST_P(ParseHexRows, GivesTheWrappedValueOrNone)
{
    const HexRow& row = GetParam();
    const uint32_t untouched = 0x5A5A5A5Au;
    uint32_t value = untouched;
    EXPECT_EQ(ParseHex(row.text, &value), row.has_value) << '"' << row.text << "\": " << row.why;
    EXPECT_EQ(value, row.has_value ? row.value : untouched) << '"' << row.text << "\": " << row.why;
}

INSTANTIATE_TEST_SUITE_P(Table, ParseHexRows, testing::ValuesIn(kHexRows));

struct TokenRow {
    const char* text;
    std::vector<std::string> tokens;  // "(none)" for a null token
    const char* buffer;               // after the cuts, zeros shown as '|'
    const char* why;
    std::vector<const char*> sets = {",", ",", ""};  // as the host routine cuts
};

const TokenRow kTokenRows[] = {
    {"", {"(none)", "(none)", "(none)"}, "", "an empty text has no token"},
    {",,,", {"(none)", "(none)", "(none)"}, ",,,", "commas only: nothing is written"},
    {"12", {"12", "(none)", "(none)"}, "12", "a token that ends at the text's end"},
    {"12,,,", {"12", "(none)", "(none)"}, "12|,,", "only the comma after the token is overwritten"},
    {"12,ab,", {"12", "ab", "(none)"}, "12|ab|", "an empty rest is no directory"},
    {",,12,,ab,x", {"12", "ab", "x"}, ",,12|,ab|x", "runs of commas before a token are skipped"},
    {"12,ab,,x", {"12", "ab", ",x"}, "12|ab|,x",
     "the empty set skips nothing: the rest keeps its comma"},
    {"12,ab,my,dir", {"12", "ab", "my,dir"}, "12|ab|my,dir", "commas inside the rest stay"},
    {"12, ab, x ", {"12", " ab", " x "}, "12| ab| x ", "spaces belong to the tokens"},
    {"\xa0,\x80\xff,\xe4,x", {"\xa0", "\x80\xff", "\xe4,x"}, "\xa0|\x80\xff|\xe4,x",
     "bytes above 127 are ordinary bytes"},
    {"  a,b  ", {"  a,b  ", "(none)"}, "  a,b  ",
     "with the empty set the token is the whole rest and the next call finds none", {"", ""}},
    {";a,;b;;c", {"a", "b", "c", "(none)"}, ";a|;b|;c",
     "any byte of the set delimits; the cursor goes on behind the overwritten one",
     {",;", ",;", ",;", ",;"}},
};

class NextTokenRows : public testing::TestWithParam<TokenRow> {};

TEST_P(NextTokenRows, CutsTheLineAsTheHostRoutineDoes)
{
    const TokenRow& row = GetParam();
    std::string buffer = row.text;  // its terminator is part of the buffer
    TokenCursor cursor;
    std::vector<std::string> tokens;
    char* start = &buffer[0];
    for (const char* delimiters : row.sets) {
        char* token = NextToken(start, delimiters, &cursor);
        start = nullptr;
        tokens.push_back(token ? token : "(none)");
    }
    for (char& c : buffer)
        c = c ? c : '|';
    EXPECT_EQ(tokens, row.tokens) << row.why;
    EXPECT_EQ(buffer, row.buffer) << row.why;
}

INSTANTIATE_TEST_SUITE_P(Table, NextTokenRows, testing::ValuesIn(kTokenRows));

TEST(NextToken, CursorsOfTwoTextsAreIndependent)
{
    char first[] = "1,2";
    char second[] = "a,b";
    TokenCursor one, two;
    EXPECT_STREQ(NextToken(first, ",", &one), "1");
    EXPECT_STREQ(NextToken(second, ",", &two), "a");
    EXPECT_STREQ(NextToken(nullptr, ",", &one), "2");
    EXPECT_STREQ(NextToken(nullptr, ",", &two), "b");
}

struct Utf8Row {
    const char* text;
    bool valid;
    const char* why;
};

const Utf8Row kUtf8Rows[] = {
    {"", true, "the empty text"},
    {"C:\\dl\\a.zip", true, "plain ASCII"},
    {"Bj\xC3\xB6rk", true, "two bytes: U+00F6"},
    {"\xE6\x97\xA5\xE6\x9C\xAC", true, "three bytes each: U+65E5 U+672C"},
    {"\xF0\x9F\x98\x80", true, "four bytes: U+1F600"},
    {"\xC2\x80", true, "U+0080, the least two-byte value"},
    {"\xE0\xA0\x80", true, "U+0800, the least three-byte value"},
    {"\xF0\x90\x80\x80", true, "U+10000, the least four-byte value"},
    {"\xED\x9F\xBF", true, "U+D7FF, just below the surrogates"},
    {"\xEE\x80\x80", true, "U+E000, just above them"},
    {"\xF4\x8F\xBF\xBF", true, "U+10FFFF, the greatest code point"},
    {"\xC3\x83\xC2\xB6", true, "the code-page bytes of \"\xC3\xB6\" in 1252 read as UTF-8"},
    {"\xC0\xAF", false, "overlong two-byte '/'"},
    {"\xC1\xBF", false, "overlong two-byte U+007F"},
    {"\xE0\x9F\xBF", false, "overlong three-byte U+07FF"},
    {"\xF0\x8F\xBF\xBF", false, "overlong four-byte U+FFFF"},
    {"\xED\xA0\x80", false, "U+D800, a high surrogate"},
    {"\xED\xBF\xBF", false, "U+DFFF, a low surrogate"},
    {"\xED\xA0\xBD\xED\xB8\x80", false, "a surrogate pair spelt in UTF-8 (CESU-8)"},
    {"\xF4\x90\x80\x80", false, "U+110000, past the greatest code point"},
    {"\xF5\x80\x80\x80", false, "lead byte F5"},
    {"ab\xE6\x97", false, "a sequence cut at the end"},
    {"\xC3 x", false, "a sequence cut by another byte"},
    {"\xF8\x88\x80\x80\x80", false, "a five-byte form"},
    {"\xFC\x84\x80\x80\x80\x80", false, "a six-byte form"},
    {"\x80", false, "a lone continuation byte"},
    {"a\xBFz", false, "a continuation byte after ASCII"},
    {"caf\xE9", false, "code-page text: e acute in 1252"},
    {"\xFE\xFF", false, "bytes that never occur in UTF-8"},
};

class Utf8Rows : public testing::TestWithParam<Utf8Row> {};

// A valid text also converts to UTF-16 and back to the same bytes; an
// invalid one converts to nothing.
TEST_P(Utf8Rows, AreWellFormedExactlyAsRfc3629SaysAndRoundTripWhenThey)
{
    const Utf8Row& row = GetParam();
    EXPECT_EQ(IsValidUtf8(row.text), row.valid) << row.why;
    char16_t wide[64];
    char back[64];
    EXPECT_EQ(Utf8ToUtf16(row.text, wide, std::size(wide)), row.valid) << row.why;
    if (row.valid) {
        ASSERT_TRUE(Utf16ToUtf8(wide, back, sizeof back)) << row.why;
        EXPECT_STREQ(back, row.text) << row.why;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Utf8Rows, testing::ValuesIn(kUtf8Rows));

TEST(Utf16ToUtf8, RefusesUnpairedSurrogatesAndWhatDoesNotFit)
{
    const char16_t paired[] = {u'a', 0xD83D, 0xDE00, 0};
    const char16_t lone_high[] = {u'a', 0xD83D, u'b', 0};
    const char16_t lone_low[] = {0xDE00, u'a', 0};
    const char16_t high_at_end[] = {u'a', 0xD83D, 0};
    const char16_t two_lows[] = {0xDE00, 0xDE00, 0};
    char text[8];
    EXPECT_TRUE(Utf16ToUtf8(paired, text, sizeof text));
    EXPECT_STREQ(text, "a\xF0\x9F\x98\x80");
    EXPECT_FALSE(Utf16ToUtf8(paired, text, 5)) << "five bytes and a terminator in five";
    EXPECT_TRUE(Utf16ToUtf8(paired, text, 6)) << "exactly fits";
    for (const char16_t* unpaired : {lone_high, lone_low, high_at_end, two_lows})
        EXPECT_FALSE(Utf16ToUtf8(unpaired, text, sizeof text));
    char16_t wide[3];
    EXPECT_FALSE(Utf8ToUtf16("\xF0\x9F\x98\x80", wide, 2)) << "a pair and a terminator in two";
    EXPECT_TRUE(Utf8ToUtf16("\xF0\x9F\x98\x80", wide, 3));
    EXPECT_FALSE(Utf8ToUtf16("abc", wide, 3)) << "no room for the terminator";
}

}  // namespace
