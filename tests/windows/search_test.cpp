// FindFileSizeCrc called through the DLL's export, as any program calls it, on
// real directory trees: listing order as FindFirstFileA gives it, attributes,
// files held open by others, a drive root and the path limit. Every call also
// checks that the routine removed its 16 bytes of arguments.
#include "harness.h"
#include "test_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr size_t kGuardBytes = 64;
// The drive the test command links to a directory of its own (T: -> drive_t).
constexpr char kTestDrive[] = "T:";

struct Found {
    int result = 0;
    std::string text;
    bool balanced = false;
    bool guard_intact = true;     // nothing written behind the 256-byte output
    bool only_first_byte = true;  // bytes 1.. as they were before the call
};

Found Find(uint32_t size, uint32_t crc, const std::string& directory)
{
    std::vector<char> output(kResultBytes + kGuardBytes, kGuardByte);
    Found found;
    found.result = static_cast<int>(
        CallStdcall(Export("FindFileSizeCrc"),
                    {size, crc, reinterpret_cast<uintptr_t>(directory.c_str()),
                     reinterpret_cast<uintptr_t>(output.data())},
                    &found.balanced));
    found.text = std::string(output.data(), strnlen(output.data(), kResultBytes));
    found.only_first_byte = output[0] == '\0';
    for (size_t i = 1; i < output.size(); ++i)
        if (output[i] != kGuardByte) {
            found.only_first_byte = false;
            found.guard_intact = found.guard_intact && i < kResultBytes;
        }
    return found;
}

Found FindContent(const std::string& content, const std::string& directory)
{
    return Find(static_cast<uint32_t>(content.size()), ReferenceCrc(content), directory);
}

// The same search through the host routine, which reads ASCII and UTF-8
// directory texts through the wide calls.
std::string HostFind(const std::string& content, const std::string& directory)
{
    return CallHost("MIRCFindFileSizeCrc", std::to_string(content.size()) + "," +
                                               Hex8(ReferenceCrc(content)) + "," + directory)
        .Text();
}

// `path` empty: no match, so only the output's first byte may change.
void Expect(const Found& found, const std::string& path, const std::string& why)
{
    EXPECT_EQ(found.result, path.empty() ? 0 : 1) << why;
    EXPECT_EQ(found.text, path) << why;
    if (path.empty())
        EXPECT_TRUE(found.only_first_byte) << why << ": output " << found.text;
    EXPECT_TRUE(found.balanced) << why;
    EXPECT_TRUE(found.guard_intact) << why;
}

// The first of two names in `directory`'s listing order.
std::string FirstListed(const std::string& directory, const std::string& a, const std::string& b)
{
    for (const std::string& name : ListedNames(directory))
        if (name == a || name == b)
            return name;
    ADD_FAILURE() << a << " and " << b << " not listed in " << directory;
    return a;
}

class SearchTree : public testing::Test {
protected:
    void SetUp() override { MakeTestDir("srch"); }
    void TearDown() override { RemoveTree("srch"); }
};

TEST_F(SearchTree, ResultKeepsTheDirectoryTextAsGivenWithOneSeparator)
{
    const std::string content = "alpha";
    WriteTestTreeFile("srch\\in\\a.zip", content);
    MakeTestDir("srch\\in\\empty");
    struct Row { std::string directory, expected; const char* why; } rows[] = {
        {"", "in\\a.zip", "empty: the current directory, relative result"},
        {".", ".\\in\\a.zip", "a full stop as directory text is searched and kept"},
        {"in", "in\\a.zip", "relative"},
        {"in\\", "in\\a.zip", "trailing backslash, single separator"},
        {"in/", "in/\\a.zip", "a forward slash is kept and a backslash added"},
        {"IN", "IN\\a.zip", "the caller's case is kept"},
        {CurrentDirectory() + "\\srch\\in", CurrentDirectory() + "\\srch\\in\\a.zip", "absolute"},
        {"missing", "", "no such directory"},
        {"in\\a.zip", "", "names a file"},
        {"in\\empty", "", "an empty directory"},
    };
    // The tree is the current directory, so that the empty text lists it.
    ASSERT_TRUE(SetCurrentDirectoryA("srch"));
    for (const auto& row : rows)
        Expect(FindContent(content, row.directory), row.expected, row.why);
    ASSERT_TRUE(SetCurrentDirectoryA(".."));
}

TEST(DriveRoot, ADriveLetterAloneSearchesTheRootOfTheDrive)
{
    const std::string root = std::string(kTestDrive) + "\\";
    if (GetFileAttributesA(root.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << kTestDrive << " is linked by the test command; run the suite through CTest";
    RemoveTree(root + "drive");
    WriteTestTreeFile(root + "drive\\a.zip", "drive");
    WriteTestFile(root + "b.zip", "drivE");
    const std::string lower = {static_cast<char>(kTestDrive[0] + ('a' - 'A')), ':'};
    struct Row { std::string directory, content, expected; } rows[] = {
        {kTestDrive, "drivE", root + "b.zip"},
        {root, "drivE", root + "b.zip"},
        {kTestDrive, "drive", root + "drive\\a.zip"},
        {lower, "drive", lower + "\\drive\\a.zip"},
    };
    for (const auto& row : rows)
        Expect(FindContent(row.content, row.directory), row.expected, row.directory);
    DeleteFileA((root + "b.zip").c_str());
    RemoveTree(root + "drive");
}

// Varied names (in either alphabetical order) and creation orders give both
// listing orders; each directory is checked against its own listing.
TEST_F(SearchTree, TheFirstMatchInListingOrderWinsAndASubdirectoryIsSearchedWhenListed)
{
    int sub_first = 0;
    for (int i = 0; i < 16; ++i) {
        std::string dir = "srch\\o" + std::to_string(i);
        std::string sub = (i % 4 < 2 ? "sub" : "a") + std::to_string(i);
        std::string file = (i % 4 < 2 ? "b" : "m") + std::to_string(i) + ".zip";
        for (int k = 0; k < 2; ++k)
            WriteTestTreeFile(dir + "\\" + ((i + k) % 2 ? file : sub + "\\a.zip"), "match");
        bool sub_listed_first = FirstListed(dir, sub, file) == sub;
        sub_first += sub_listed_first;
        Expect(FindContent("match", dir),
               dir + "\\" + (sub_listed_first ? sub + "\\a.zip" : file), dir);
    }
    EXPECT_GT(sub_first, 0) << "no directory listed its subdirectory first";
    EXPECT_LT(sub_first, 16) << "no directory listed its file first";
    for (int i = 0; i < 8; ++i) {
        std::string dir = "srch\\t" + std::to_string(i);
        std::string x = "x" + std::to_string(i), y = "y" + std::to_string(i);
        WriteTestTreeFile(dir + "\\" + (i % 2 ? x : y), "twin");
        WriteTestFile(dir + "\\" + (i % 2 ? y : x), "twin");
        Expect(FindContent("twin", dir), dir + "\\" + FirstListed(dir, x, y), "two files in " + dir);
    }
}

// Four chosen bytes give the longer file the wanted CRC-32, so only the exact
// size comparison keeps it out; some directory must list it first.
TEST_F(SearchTree, AFileOneByteLongerWithTheWantedCrcIsNeverAnswered)
{
    const std::string content = "exact size";
    const std::string longer = WithCrc(std::string(content.size() - 3, 'L'), ReferenceCrc(content));
    ASSERT_EQ(ReferenceCrc(longer), ReferenceCrc(content));
    int longer_first = 0;
    for (int i = 0; i < 8; ++i) {
        std::string dir = "srch\\s" + std::to_string(i);
        std::string x = "x" + std::to_string(i), y = "y" + std::to_string(i);
        std::string wrong = i % 2 ? x : y, right = i % 2 ? y : x;
        for (int k = 0; k < 2; ++k)
            WriteTestTreeFile(dir + "\\" + ((i / 2 + k) % 2 ? wrong : right),
                              (i / 2 + k) % 2 ? longer : content);
        longer_first += FirstListed(dir, wrong, right) == wrong;
        Expect(FindContent(content, dir), dir + "\\" + right, "one byte longer in " + dir);
    }
    EXPECT_GT(longer_first, 0) << "no directory listed the longer file first";
}

TEST_F(SearchTree, HiddenSystemAndReadOnlyEntriesAreSearchedLikeAnyOther)
{
    struct Row { DWORD attributes; const char* why; } rows[] = {
        {FILE_ATTRIBUTE_HIDDEN, "hidden"},
        {FILE_ATTRIBUTE_SYSTEM, "system"},
        {FILE_ATTRIBUTE_READONLY, "read-only"},
        {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY, "all three"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        std::string dir = "srch\\a" + std::to_string(i);
        std::string file = dir + "\\f.bin", sub = dir + "\\d";
        WriteTestTreeFile(file, "file" + std::to_string(i));
        WriteTestTreeFile(sub + "\\g.bin", "dir" + std::to_string(i));
        ASSERT_TRUE(SetFileAttributesA(file.c_str(), rows[i].attributes)) << rows[i].why;
        ASSERT_TRUE(SetFileAttributesA(sub.c_str(), rows[i].attributes)) << rows[i].why;
        Expect(FindContent("file" + std::to_string(i), dir), file, rows[i].why);
        Expect(FindContent("dir" + std::to_string(i), dir), sub + "\\g.bin", rows[i].why);
    }
}

TEST_F(SearchTree, DirectoriesBeginningWithAFullStopAreNeverEnteredButSuchFilesMatch)
{
    WriteTestTreeFile("srch\\h\\.cache\\m.zip", "cached");
    WriteTestTreeFile("srch\\h\\.profile", "profile");
    Expect(FindContent("cached", "srch\\h"), "", "only under .cache");
    Expect(FindContent("profile", "srch\\h"), "srch\\h\\.profile", "a file beginning with a full stop");
}

TEST_F(SearchTree, SizeZeroAndCrcZeroMatchTheFirstEmptyFileAndNoDirectory)
{
    // Directories are listed with size 0 here, and the CRC-32 of no bytes is 0.
    for (const char* dir : {"srch\\z", "srch\\z\\d1", "srch\\z\\d2"})
        MakeTestDir(dir);
    Expect(Find(0, 0, "srch\\z"), "", "directories only");
    WriteTestFile("srch\\z\\d2\\empty", "");
    Expect(Find(0, 0, "srch\\z"), "srch\\z\\d2\\empty", "the empty file");
}

TEST_F(SearchTree, AFileHeldOpenWithoutSharingIsPassedOverAndTheSearchGoesOn)
{
    WriteTestTreeFile("srch\\k\\held.bin", "heldXYZW");
    WriteTestTreeFile("srch\\k\\z\\later.bin", "laterXYZ");
    HANDLE held = HoldFile("srch\\k\\held.bin", GENERIC_READ, 0);
    EXPECT_EQ(CallHost("Get32BitCrc", "srch\\k\\held.bin").Text(), "ffffffff");
    Expect(Find(8, 0xFFFFFFFFu, "srch\\k"), "", "never matches ffffffff");
    Expect(FindContent("heldXYZW", "srch\\k"), "", "not read while held");
    Expect(FindContent("laterXYZ", "srch\\k"), "srch\\k\\z\\later.bin", "the search goes on");
    CloseHandle(held);
    Expect(FindContent("heldXYZW", "srch\\k"), "srch\\k\\held.bin", "found once released");
}

#if defined(_WIN64)
// The raw CRC-32 register after `zeros` more zero bytes. Over zero bytes the
// register changes linearly, so the one-zero-bit operator (a 32x32 matrix
// over GF(2), as in zlib's crc32_combine) is squared up to the needed
// powers; nothing of that length is ever processed.
uint32_t MatrixTimes(const uint32_t* matrix, uint32_t vector)
{
    uint32_t sum = 0;
    for (int i = 0; vector != 0; ++i, vector >>= 1)
        if (vector & 1)
            sum ^= matrix[i];
    return sum;
}

void MatrixSquare(uint32_t* matrix)
{
    uint32_t square[32];
    for (int i = 0; i < 32; ++i)
        square[i] = MatrixTimes(matrix, matrix[i]);
    std::copy_n(square, 32, matrix);
}

uint32_t AdvanceOverZeros(uint32_t reg, uint64_t zeros)
{
    uint32_t power[32] = {0xEDB88320u};  // one zero bit
    for (int i = 1; i < 32; ++i)
        power[i] = 1u << (i - 1);
    for (int i = 0; i < 3; ++i)
        MatrixSquare(power);  // two, four, eight bits: one zero byte
    for (; zeros != 0; zeros >>= 1, MatrixSquare(power))
        if (zeros & 1)
            reg = MatrixTimes(power, reg);
    return reg;
}

TEST_F(SearchTree, AFileOf4GibPlus10BytesIsACandidateForSize10)
{
    constexpr uint64_t kFourGib = uint64_t(1) << 32;
    const std::string tail = "0123456789";
    ASSERT_EQ(~AdvanceOverZeros(0xFFFFFFFFu, 1000), ReferenceCrc(std::string(1000, '\0')));
    MakeTestDir("srch\\big");
    HANDLE h = CreateFileA("srch\\big\\huge.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // Writing past the end leaves a hole of 4 GiB that takes no disk space.
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(kFourGib);
    DWORD written = 0;
    EXPECT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
    EXPECT_TRUE(WriteFile(h, tail.data(), static_cast<DWORD>(tail.size()), &written, nullptr));
    CloseHandle(h);
    ASSERT_EQ(written, tail.size());
    uint32_t crc =
        ~ReferenceCrcUpdate(AdvanceOverZeros(0xFFFFFFFFu, kFourGib), tail.data(), tail.size());
    Expect(Find(10, crc, "srch\\big"), "srch\\big\\huge.bin", "size modulo 2^32");
}
#endif

TEST_F(SearchTree, WithoutAMatchOnlyTheFirstByteChangesSoTheOutputMayHoldTheDirectoryText)
{
    WriteTestTreeFile("srch\\in\\sub\\a.zip", "alpha");
    // One buffer for both, as MIRCFindFileSizeCrc passes it: the directory
    // text lies behind the output's first byte.
    std::vector<char> buffer(kResultBytes + kGuardBytes, kGuardByte);
    buffer[0] = 'X';
    strcpy(buffer.data() + 1, "srch\\in");
    const std::vector<char> before = buffer;
    bool balanced = false;
    FARPROC routine = Export("FindFileSizeCrc");
    auto call = [&](const std::string& content) {
        return CallStdcall(routine,
                           {static_cast<uintptr_t>(content.size()), ReferenceCrc(content),
                            reinterpret_cast<uintptr_t>(buffer.data() + 1),
                            reinterpret_cast<uintptr_t>(buffer.data())},
                           &balanced);
    };
    EXPECT_EQ(call("other"), 0u);
    EXPECT_TRUE(balanced);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_TRUE(std::equal(buffer.begin() + 1, buffer.end(), before.begin() + 1));

    EXPECT_EQ(call("alpha"), 1u);
    EXPECT_TRUE(balanced);
    EXPECT_STREQ(buffer.data(), "srch\\in\\sub\\a.zip");
    EXPECT_TRUE(std::equal(buffer.begin() + kResultBytes, buffer.end(),
                           before.begin() + kResultBytes));
}

TEST_F(SearchTree, AnAnswerBeyond255BytesIsNeverCutAndNothingIsWrittenPastABuffer)
{
    // "srch\deep" and four 50-character levels: 213 characters, room for 42
    // more. Paths up to 259 characters are all this system lets a test create.
    std::string level = "srch\\deep";
    for (int i = 0; i < 4; ++i)
        level += "\\" + std::string(49, 'a' + i) + std::to_string(i);
    ASSERT_EQ(level.size(), 213u);
    struct Row { std::string path; bool found; const char* why; } rows[] = {
        {level + "\\" + std::string(41, 'f'), true, "a file path of exactly 255 characters"},
        {level + "\\" + std::string(42, 'g'), false, "a file path of 256 characters"},
        {level + "\\" + std::string(37, 'h') + "\\x", true, "a directory whose pattern just fits"},
        {level + "\\" + std::string(38, 'i') + "\\x", true, "a path of 254 under a deeper directory"},
    };
    for (size_t i = 0; i < std::size(rows); ++i)
        WriteTestTreeFile(rows[i].path, "deep" + std::to_string(i));
    for (size_t i = 0; i < std::size(rows); ++i) {
        std::string content = "deep" + std::to_string(i), expected = rows[i].found ? rows[i].path : "";
        Expect(FindContent(content, "srch\\deep"), expected, rows[i].why);
        EXPECT_EQ(HostFind(content, "srch\\deep"), expected) << rows[i].why << ", host routine";
    }
    Expect(Find(0, 0, std::string(400, 'd')), "", "a directory text longer than any buffer");
}

// Directory links, made by link_trees.sh: a link back to the directory that
// lists it, or to an ancestor, is passed over; any other is followed.
TEST(DirectoryLinks, ALinkBackIntoTheWalkIsPassedOverAndOtherLinksAreFollowed)
{
    if (GetFileAttributesA("links\\two\\d\\a") == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "the links are made by the test command; run the suite through CTest";
    struct Row { std::string content, directory, expected; const char* why; };
    std::vector<Row> rows = {
        {"no such file", "links\\two", "", "two links back to the parent, no match: the search ends"},
    };
    int link_first = 0;
    for (int i = 0; i < 8; ++i) {
        std::string top = "links\\one" + std::to_string(i), dir = top + "\\d";
        std::string link = (i % 2 ? "a" : "z") + std::to_string(i);
        std::string file = (i % 2 ? "z" : "a") + std::to_string(i) + ".bin";
        WriteTestFile(dir + "\\" + file, "beside");
        link_first += FirstListed(dir, link, file) == link;
        rows.push_back({"beside", top, dir + "\\" + file, i < 4 ? "one link back" : "a link to itself"});
    }
    EXPECT_GT(link_first, 0) << "no directory listed its link first";
    WriteTestFile("links\\outside\\far.bin", "far away");
    rows.push_back({"far away", "links\\in", "links\\in\\out\\far.bin", "a link elsewhere"});
    rows.push_back({"no such file", "\\\\?\\" + CurrentDirectory() + "\\links\\two", "",
                    "two links back to the parent, \\\\?\\ text: the search ends"});
    rows.push_back({"no such file", "links\\lad\\0", "", "a ladder of 24 levels, two links each"});
    WriteTestFile("links\\phys\\other\\f.bin", "only via up");
    WriteTestFile("links\\phys\\start\\g.bin", "in the start");
    rows.push_back({"only via up", "links\\alias", "", "up leads above a start reached through a link"});
    rows.push_back({"only via up", "links\\phys\\start", "", "up leads above the start"});
    rows.push_back({"in the start", "links\\alias", "links\\alias\\g.bin", "a start reached through a link"});
    if (GetFileAttributesA("links\\tm\\a\\l") != INVALID_FILE_ATTRIBUTES)
        rows.push_back({"tmpfs\n", "links\\tm\\a", "links\\tm\\a\\l\\f.bin", "one tmpfs root to another"});
    if (GetFileAttributesA("T:\\x\\y\\r1") != INVALID_FILE_ATTRIBUTES) {
        WriteTestFile("T:\\x\\y\\zz.txt", "direct");
        WriteTestFile("T:\\outer.txt", "outer");
        rows.push_back({"direct", "T:\\x", "T:\\x\\y\\zz.txt", "a link to the drive root"});
        rows.push_back({"outer", "T:\\x", "", "the root above the start, not through the link"});
    }
    for (const Row& row : rows) {
        Expect(FindContent(row.content, row.directory), row.expected, row.why);
        EXPECT_EQ(HostFind(row.content, row.directory), row.expected) << row.why << ", host routine";
    }
}

}  // namespace
