// JoinPath and the directory search on real directory trees. Expected CRCs
// come from zlib; listing order is read back with readdir, never assumed.
#include "crc/filecrc.h"
#include "search/search.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr char kGuard = '\xA5';
constexpr size_t kGuardBytes = 64;

uint32_t Crc(const std::string& bytes)
{
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// The library's path form (backslashes) as a POSIX path.
std::string Native(std::string path)
{
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

struct JoinRow {
    std::string directory;
    std::string name;
    std::string expected;
    const char* why;
};

TEST(JoinPath, PutsOneBackslashBetweenUnlessTheDirectoryIsEmptyOrEndsInOne)
{
    const JoinRow rows[] = {
        {"", "*.*", "*.*", "an empty directory gives the bare name"},
        {"C:\\incoming", "*.*", "C:\\incoming\\*.*", "a separator is added"},
        {"C:\\incoming\\", "a.zip", "C:\\incoming\\a.zip", "a trailing backslash is not doubled"},
        {"C:", "*.*", "C:\\*.*", "a drive gives its root"},
        {"\\", "a.zip", "\\a.zip", "the root alone"},
        {"C:/incoming/", "a.zip", "C:/incoming/\\a.zip", "a forward slash is no separator"},
        {".", "a.zip", ".\\a.zip", "a full stop is a directory like any other"},
        {"in\\\\", "a", "in\\\\a", "only the last byte is looked at"},
    };
    for (const JoinRow& row : rows) {
        char destination[kPathCapacity + kGuardBytes];
        memset(destination, kGuard, sizeof destination);
        EXPECT_TRUE(JoinPath(destination, row.directory.c_str(), row.name.c_str())) << row.why;
        EXPECT_EQ(std::string(destination), row.expected) << row.why;
    }
}

TEST(JoinPath, RefusesAPathOfMoreThan255CharactersAndWritesNothing)
{
    struct Row {
        std::string directory;
        std::string name;
        bool fits;
        const char* why;
    } rows[] = {
        {std::string(251, 'd'), "*.*", true, "the longest directory whose pattern fits"},
        {std::string(252, 'd'), "*.*", false, "one more and the pattern has 256 characters"},
        {std::string(251, 'd') + "\\", "*.*", true, "a trailing backslash costs nothing"},
        {std::string(252, 'd') + "\\", "*.*", false, "256 characters with the trailing backslash"},
        {"", std::string(255, 'n'), true, "a bare name of 255 characters"},
        {"", std::string(256, 'n'), false, "a bare name of 256 characters"},
        {std::string(300, 'd'), "a", false, "a directory text longer than any buffer"},
    };
    for (const auto& row : rows) {
        char destination[kPathCapacity + kGuardBytes];
        memset(destination, kGuard, sizeof destination);
        EXPECT_EQ(JoinPath(destination, row.directory.c_str(), row.name.c_str()), row.fits)
            << row.why;
        size_t untouched_from = row.fits ? kPathCapacity : 0;
        for (size_t i = untouched_from; i < sizeof destination; ++i)
            ASSERT_EQ(destination[i], kGuard) << row.why << ": byte " << i;
        if (row.fits)
            EXPECT_EQ(strlen(destination), row.directory.size() + 1 + row.name.size() -
                                               (row.directory.empty() ||
                                                row.directory.back() == '\\'))
                << row.why;
    }
}

struct Outcome {
    int result;
    std::string text;
    bool guard_intact;       // nothing written behind the 256-byte output
    bool only_first_byte;    // bytes 1..255 as they were before the call
};

// A fresh tree in a temporary directory, which is the current directory for
// the test, so that relative directory texts name the tree's parts.
class SearchTree : public testing::Test {
protected:
    void SetUp() override
    {
        char root[] = "/tmp/tallowix-search-XXXXXX";
        ASSERT_NE(mkdtemp(root), nullptr);
        root_ = root;
        // Open to everyone so that the unprivileged cases can reach the tree.
        chmod(root_.c_str(), 0755);
        saved_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(root_);
    }

    void TearDown() override
    {
        std::filesystem::current_path(saved_cwd_);
        std::filesystem::remove_all(root_);
    }

    // Writes a file, making its directories first.
    static void Write(const std::string& path, const std::string& content)
    {
        std::filesystem::path native = Native(path);
        if (native.has_parent_path())
            std::filesystem::create_directories(native.parent_path());
        FILE* f = fopen(native.c_str(), "wb");
        ASSERT_NE(f, nullptr) << path;
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }

    static void Dir(const std::string& path)
    {
        std::filesystem::create_directories(Native(path));
    }

    // The entry names of a directory in readdir's order, "." and ".." left out.
    static std::vector<std::string> Listed(const std::string& path)
    {
        std::vector<std::string> names;
        DIR* dir = opendir(Native(path).c_str());
        if (dir == nullptr)
            return names;
        while (dirent* d = readdir(dir))
            if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0)
                names.push_back(d->d_name);
        closedir(dir);
        return names;
    }

    static bool ListedBefore(const std::string& dir, const std::string& first,
                             const std::string& second)
    {
        for (const std::string& name : Listed(dir)) {
            if (name == first)
                return true;
            if (name == second)
                return false;
        }
        ADD_FAILURE() << first << " and " << second << " not listed in " << dir;
        return false;
    }

    static Outcome Find(uint32_t size, uint32_t crc, const std::string& directory)
    {
        char output[kPathCapacity + kGuardBytes];
        memset(output, kGuard, sizeof output);
        Outcome outcome;
        outcome.result = FindFileSizeCrc(size, crc, directory.c_str(), output);
        outcome.text = std::string(output, strnlen(output, kPathCapacity));
        outcome.guard_intact = true;
        outcome.only_first_byte = output[0] == '\0';
        for (size_t i = 1; i < sizeof output; ++i) {
            if (output[i] != kGuard) {
                outcome.only_first_byte = false;
                if (i >= kPathCapacity)
                    outcome.guard_intact = false;
            }
        }
        return outcome;
    }

    static void ExpectFound(const Outcome& outcome, const std::string& path, const char* why)
    {
        EXPECT_EQ(outcome.result, 1) << why;
        EXPECT_EQ(outcome.text, path) << why;
        EXPECT_TRUE(outcome.guard_intact) << why;
    }

    static void ExpectNotFound(const Outcome& outcome, const char* why)
    {
        EXPECT_EQ(outcome.result, 0) << why;
        EXPECT_TRUE(outcome.only_first_byte) << why << ": output " << outcome.text;
        EXPECT_TRUE(outcome.guard_intact) << why;
    }

    std::string root_;
    std::filesystem::path saved_cwd_;
};

TEST_F(SearchTree, ResultKeepsTheDirectoryTextAsGivenWithOneSeparator)
{
    const std::string content = "alpha";
    Write("in\\a.zip", content);
    Dir("in\\empty");
    struct Row {
        std::string directory;
        std::string expected;  // empty: no match
        const char* why;
    } rows[] = {
        {"", "in\\a.zip", "empty: the current directory, relative result"},
        {".", ".\\in\\a.zip", "a full stop as directory text is searched and kept"},
        {"in", "in\\a.zip", "relative"},
        {"in\\", "in\\a.zip", "trailing backslash, single separator"},
        {"in/", "in/\\a.zip", "a forward slash is kept and a backslash added"},
        {root_ + "\\in", root_ + "\\in\\a.zip", "absolute"},
        {"missing", "", "no such directory"},
        {"in\\a.zip", "", "names a file"},
        {"in\\empty", "", "an empty directory"},
    };
    for (const auto& row : rows) {
        Outcome outcome = Find(static_cast<uint32_t>(content.size()), Crc(content), row.directory);
        if (row.expected.empty())
            ExpectNotFound(outcome, row.why);
        else
            ExpectFound(outcome, row.expected, row.why);
    }
}

TEST_F(SearchTree, ASubdirectoryIsSearchedWhenListedSoTheFirstMatchInListingOrderWins)
{
    // Varied names (in either alphabetical order) and creation orders give
    // both listing orders on any file system; each directory is checked
    // against its own readdir order.
    const std::string content = "match";
    int sub_first = 0;
    int file_first = 0;
    for (int i = 0; i < 16; ++i) {
        std::string dir = "o" + std::to_string(i);
        std::string sub = (i % 4 < 2 ? "sub" : "a") + std::to_string(i);
        std::string file = (i % 4 < 2 ? "b" : "m") + std::to_string(i) + ".zip";
        if (i % 2 == 0) {
            Write(dir + "\\" + sub + "\\a.zip", content);
            Write(dir + "\\" + file, content);
        } else {
            Dir(dir);
            Write(dir + "\\" + file, content);
            Write(dir + "\\" + sub + "\\a.zip", content);
        }
        bool sub_listed_first = ListedBefore(dir, sub, file);
        (sub_listed_first ? sub_first : file_first)++;
        std::string expected = sub_listed_first ? dir + "\\" + sub + "\\a.zip" : dir + "\\" + file;
        ExpectFound(Find(5, Crc(content), dir), expected, "listing order");
    }
    EXPECT_GT(sub_first, 0) << "no directory listed its subdirectory first";
    EXPECT_GT(file_first, 0) << "no directory listed its file first";
}

TEST_F(SearchTree, OfTwoMatchingFilesTheFirstListedWins)
{
    const std::string content = "twin";
    for (int i = 0; i < 8; ++i) {
        std::string dir = "t" + std::to_string(i);
        std::string x = "x" + std::to_string(i);
        std::string y = "y" + std::to_string(i);
        Write(dir + "\\" + (i % 2 ? x : y), content);
        Write(dir + "\\" + (i % 2 ? y : x), content);
        std::string first = ListedBefore(dir, x, y) ? x : y;
        ExpectFound(Find(4, Crc(content), dir), dir + "\\" + first, "two matches");
    }
}

TEST_F(SearchTree, DirectoriesBeginningWithAFullStopAreNeverEnteredButSuchFilesMatch)
{
    Write("h\\.cache\\m.zip", "cached");
    Write("h\\.profile", "profile");
    Write("h\\sub\\.hidden", "dotfile");
    ExpectNotFound(Find(6, Crc("cached"), "h"), "only under .cache");
    ExpectFound(Find(7, Crc("profile"), "h"), "h\\.profile", "a file beginning with a full stop");
    ExpectFound(Find(7, Crc("dotfile"), "h"), "h\\sub\\.hidden", "one level down");
    ExpectFound(Find(6, Crc("cached"), "h\\.cache"), "h\\.cache\\m.zip",
                "the rule is on listed names only, never on the directory text");
}

TEST_F(SearchTree, SizeZeroAndCrcZeroMatchTheFirstEmptyFileAndNoDirectory)
{
    Dir("z\\d1");
    Dir("z\\d2\\d3");
    ExpectNotFound(Find(0, 0, "z"), "directories only");
    Write("z\\d2\\d3\\empty", "");
    ExpectFound(Find(0, 0, "z"), "z\\d2\\d3\\empty", "the empty file");
}

TEST_F(SearchTree, ACandidateThatCannotBeOpenedNeverMatchesAndTheSearchGoesOn)
{
    // A dangling link is listed as a file of its target text's length, and
    // opening it fails: an unopenable candidate even for root.
    ASSERT_EQ(symlink("nowhere123", "dangling"), 0);
    Write("z\\later.bin", "0123456789");
    EXPECT_EQ(CalcFileCrc("dangling"), kUnopenableCrc) << "Get32BitCrc still says ffffffff";
    ExpectNotFound(Find(10, kUnopenableCrc, ""), "never matches ffffffff");
    ExpectFound(Find(10, Crc("0123456789"), ""), "z\\later.bin", "a later match");
}

// Runs a block without root's powers (as "nobody"), so that permissions deny.
class Unprivileged {
public:
    Unprivileged() : was_root_(geteuid() == 0)
    {
        if (was_root_)
            EXPECT_EQ(seteuid(kNobody), 0);
    }
    ~Unprivileged()
    {
        if (was_root_)
            EXPECT_EQ(seteuid(0), 0);
    }

private:
    static constexpr uid_t kNobody = 65534;
    bool was_root_;
};

TEST_F(SearchTree, UnreadableFilesAndUnlistableDirectoriesArePassedOver)
{
    Write("u\\locked.bin", "lockedXY");
    Write("u\\closed\\inner.bin", "innerXYZ");
    Write("u\\open\\later.bin", "laterXYZ");
    ASSERT_EQ(chmod("u/locked.bin", 0), 0);
    ASSERT_EQ(chmod("u/closed", 0), 0);
    ExpectFound(Find(8, Crc("innerXYZ"), "u"), "u\\closed\\inner.bin", "reachable with privilege");
    Unprivileged unprivileged;
    ExpectNotFound(Find(8, Crc("lockedXY"), "u"), "the locked file is not read");
    ExpectNotFound(Find(8, kUnopenableCrc, "u"), "nor does it match ffffffff");
    ExpectNotFound(Find(8, Crc("innerXYZ"), "u"), "the closed directory gives nothing");
    ExpectFound(Find(8, Crc("laterXYZ"), "u"), "u\\open\\later.bin", "the search goes on");
}

// CRC-32 of `length` zero bytes, by zlib's combination of halves, so that
// nothing of this size has to be read to know the answer.
uint32_t ZeroCrc(uint64_t length)
{
    uint32_t crc = 0;
    const Bytef zero = 0;
    for (int bit = 63; bit >= 0; --bit) {
        uint64_t done = length >> (bit + 1);
        crc = static_cast<uint32_t>(crc32_combine64(crc, crc, static_cast<z_off64_t>(done)));
        if ((length >> bit) & 1)
            crc = static_cast<uint32_t>(crc32(crc, &zero, 1));
    }
    return crc;
}

TEST_F(SearchTree, AFileOf4GibPlus10BytesIsACandidateForSize10)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "reads 4 GiB through one buffer; the plain build covers it";
#endif
    constexpr uint64_t kFourGib = uint64_t(1) << 32;
    const std::string tail = "0123456789";
    Dir("big");
    int fd = open("big/huge.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    // A hole of 4 GiB (no disk space), then ten bytes.
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(kFourGib)),
              static_cast<ssize_t>(tail.size()));
    close(fd);
    EXPECT_EQ(ZeroCrc(9), Crc(std::string(9, '\0')));
    uint32_t huge_crc = static_cast<uint32_t>(
        crc32_combine64(ZeroCrc(kFourGib), Crc(tail), static_cast<z_off64_t>(tail.size())));
    ExpectFound(Find(10, huge_crc, "big"), "big\\huge.bin", "compared by its size modulo 2^32");
}

TEST_F(SearchTree, WithoutAMatchOnlyTheFirstByteChangesSoTheOutputMayHoldTheDirectoryText)
{
    Write("in\\sub\\a.zip", "alpha");
    // One buffer for both, as the host routine passes it: the directory text
    // lies behind the output's first byte.
    char buffer[kPathCapacity + kGuardBytes];
    memset(buffer, kGuard, sizeof buffer);
    buffer[0] = 'X';
    strcpy(buffer + 1, "in");
    char before[sizeof buffer];
    memcpy(before, buffer, sizeof buffer);
    EXPECT_EQ(FindFileSizeCrc(5, Crc("other"), buffer + 1, buffer), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(memcmp(buffer + 1, before + 1, sizeof buffer - 1), 0);

    EXPECT_EQ(FindFileSizeCrc(5, Crc("alpha"), buffer + 1, buffer), 1);
    EXPECT_STREQ(buffer, "in\\sub\\a.zip");
    for (size_t i = kPathCapacity; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], kGuard) << i;
}

TEST_F(SearchTree, PathsBeyond255CharactersAreNeverBuiltAndNothingIsWrittenPastABuffer)
{
    // "deep" and four 50-character levels: 208 characters, room for 47 more.
    std::string level = "deep";
    for (int i = 0; i < 4; ++i)
        level += "\\" + std::string(49, 'a' + i) + std::to_string(i);
    ASSERT_EQ(level.size(), 208u);
    struct Row {
        std::string path;
        bool found;
        const char* why;
    } rows[] = {
        {level + "\\" + std::string(46, 'f'), true, "a file path of exactly 255 characters"},
        {level + "\\" + std::string(47, 'g'), false, "a file path of 256 characters"},
        {level + "\\" + std::string(42, 'h') + "\\x", true, "a directory whose pattern just fits"},
        {level + "\\" + std::string(43, 'i') + "\\x", false, "a directory whose pattern does not"},
        {level + "\\" + std::string(100, 'j') + "\\" + std::string(100, 'k') + "\\y", false,
         "far beyond the limit"},
    };
    for (size_t i = 0; i < std::size(rows); ++i)
        Write(rows[i].path, "deep" + std::to_string(i));
    for (size_t i = 0; i < std::size(rows); ++i) {
        std::string content = "deep" + std::to_string(i);
        Outcome outcome = Find(static_cast<uint32_t>(content.size()), Crc(content), "deep");
        if (rows[i].found)
            ExpectFound(outcome, rows[i].path, rows[i].why);
        else
            ExpectNotFound(outcome, rows[i].why);
    }
}

TEST_F(SearchTree, ADirectoryTextWhosePatternDoesNotFitGivesNothing)
{
    Write(std::string(251, 'd') + "\\m", "toolong");
    Write(std::string(252, 'e') + "\\m", "toolong");
    ExpectFound(Find(7, Crc("toolong"), std::string(251, 'd')), std::string(251, 'd') + "\\m",
                "251 characters: the pattern fits");
    ExpectNotFound(Find(7, Crc("toolong"), std::string(252, 'e')), "252 characters");
    ExpectNotFound(Find(7, Crc("toolong"), std::string(252, 'e') + "\\"),
                   "253 characters with the trailing backslash");
    ExpectNotFound(Find(0, 0, std::string(400, 'f')), "longer than any buffer");
}

}  // namespace
