// MIRCFindFileSizeCrc through the DLL: the argument line cut into size, CRC
// and directory, and the search run on a real tree with those values.
//
// Each test directory holds files whose size and CRC-32 are the ones the rows
// ask for (the CRC forced with four trailing bytes), so a row finds its file
// only when all three pieces were read as intended.
#include "harness.h"
#include "test_data.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A content of `length` (at least 4) bytes whose CRC-32 is `crc`: a filler,
// then four bytes found by running the CRC register backwards from the
// wanted value.
std::string ContentWithCrc(size_t length, uint32_t crc)
{
    std::string content(length - 4, 'f');
    uint32_t back = ~crc;
    for (int bit = 0; bit < 32; ++bit)
        back = (back & 0x80000000u) ? ((back ^ 0xEDB88320u) << 1) | 1 : back << 1;
    uint32_t tail = back ^ ReferenceCrcUpdate(0xFFFFFFFFu, content.data(), content.size());
    for (int i = 0; i < 4; ++i)
        content.push_back(static_cast<char>(tail >> (8 * i)));
    EXPECT_EQ(ReferenceCrc(content), crc);
    return content;
}

// The tree lives in "argline" under the suite's working directory, which is
// the current directory while a test runs, so that the rows can name their
// directories relatively, as ",x" or "my,dir".
class ArgumentLine : public testing::Test {
protected:
    void SetUp() override
    {
        outer_ = CurrentDirectory();
        RemoveTrailingSpaceDirectory();
        RemoveTree("argline");
        MakeTestDir("argline");
        ASSERT_TRUE(SetCurrentDirectoryA("argline"));
        root_ = CurrentDirectory();
        // A leading space is part of a name on Windows and Wine alike.
        for (const char* dir : {"x", ",x", "my,dir", " x"}) {
            MakeTestDir(dir);
            WriteTestFile(std::string(dir) + "\\twelve", ContentWithCrc(12, 0xAB));
        }
        WriteTestFile("x\\hex", ContentWithCrc(12, 0x1A));
        WriteTestFile("x\\five", ContentWithCrc(5, 0xFFFFFFFFu));
        WriteTestFile("x\\empty", "");
        // Windows and Wine drop trailing spaces from a path's last component,
        // so "x " is made through the verbatim "\\?\" form, which keeps them.
        ASSERT_TRUE(CreateDirectoryA(TrailingSpaceDirectory().c_str(), nullptr));
        WriteTestFile(TrailingSpaceDirectory() + "\\twelve", ContentWithCrc(12, 0xAB));
    }
    void TearDown() override
    {
        SetCurrentDirectoryA(outer_.c_str());
        RemoveTrailingSpaceDirectory();
        RemoveTree("argline");
    }

    std::string TrailingSpaceDirectory() const
    {
        return "\\\\?\\" + outer_ + "\\argline\\x ";
    }
    // The harness's RemoveTree would name it "x " as a last component and so
    // miss it.
    void RemoveTrailingSpaceDirectory() const
    {
        DeleteFileA((TrailingSpaceDirectory() + "\\twelve").c_str());
        RemoveDirectoryA(TrailingSpaceDirectory().c_str());
    }

    std::string outer_;
    std::string root_;  // the absolute path of the tree
};

struct Row {
    std::string input;
    std::string expected;  // the result text
    const char* why;
};

void ExpectRows(const std::vector<Row>& rows)
{
    for (const Row& row : rows) {
        HostCall call = CallHost("MIRCFindFileSizeCrc", row.input);
        ExpectHostForm(call, row.why);
        EXPECT_EQ(call.Text(), row.expected) << '"' << row.input << "\": " << row.why;
    }
}

// Size 0 with the CRC 0 would find x\empty, so an empty answer to a CRC
// without a value shows that no search ran with 0 in its place.
TEST_F(ArgumentLine, AMissingPieceOrACrcWithoutAValueGivesTheEmptyResultWithoutASearch)
{
    ExpectRows({
        {"", "", "an empty buffer"},
        {",,,", "", "commas only"},
        {"12", "", "no comma after the size"},
        {"12,ab", "", "no comma after the CRC"},
        {"12,ab,", "", "nothing after the comma that ends the CRC"},
        {"12,,,", "", "only commas after the size"},
        {"0,0,x", "x\\empty", "the control: a real CRC 0 finds the empty file"},
        {"0,g1,x", "", "no digit where the number begins"},
        {"0,0x,x", "", "a prefix alone"},
        {"0,0x-1,x", "", "a sign after the prefix"},
        {"0,   ,x", "", "white space only"},
        {"0,+,x", "", "a lone plus"},
        {"0,-,x", "", "a lone minus"},
        {"0,- 0,x", "", "white space after the sign"},
    });
}

TEST_F(ArgumentLine, ThePiecesAreCutAndReadAsTheLineSays)
{
    ExpectRows({
        {",,12,,ab," + root_ + "\\x", root_ + "\\x\\twelve",
         "leading commas and a run of commas before the CRC"},
        {"12,ab,,x", ",x\\twelve", "the directory begins with a comma"},
        {"12,ab,my,dir", "my,dir\\twelve", "a comma inside the directory"},
        {"12abc,0x1A,x", "x\\hex", "the size ends at its first non-digit; 0x prefix"},
        {"12, ab, x", " x\\twelve", "a space after each comma: the directory begins with it"},
        {"abc,0,x", "x\\empty", "a size without digits is 0; CRC 0 is the empty file's"},
        {"5,ffffffff,x", "x\\five", "the largest CRC"},
        {"5,-1,x", "x\\five", "-1 is the same CRC"},
        {"4294967301,FFFFFFFFF,x", "x\\five", "size and CRC wrap modulo 2^32"},
        {"\t+12,\r\n0X000000aB,x", "x\\twelve", "white space, signs and upper-case prefix"},
        {"12,ab,x\\", "x\\twelve", "a trailing backslash gives no doubled separator"},
        // "x " and "x" both hold a match: the found path shows which was searched.
        {"12,ab,x ", "x \\twelve", "the directory text keeps its trailing space"},
        {"12,ab,y", "", "a directory that does not exist"},
        {"13,ab,x", "", "no file of that size"},
    });
}

TEST_F(ArgumentLine, WithoutAMatchOnlyTheFirstByteIsCleared)
{
    // The line is read into the library's own text; the host's buffer gets
    // the empty answer and nothing else.
    HostCall call = CallHost("MIRCFindFileSizeCrc", "12,ab,nowhere");
    EXPECT_EQ(std::string(call.buffer.data(), 14), std::string("\0" "2,ab,nowhere\0", 14));
    EXPECT_TRUE(call.guard_intact);
}

}  // namespace
