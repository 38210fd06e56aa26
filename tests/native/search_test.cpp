// JoinPath and the directory search on real directory trees. Listing order
// is read back with readdir, never assumed.
#include "crc/filecrc.h"
#include "search/search.h"
#include "test_data.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr char kGuard = '\xA5';
constexpr size_t kGuardBytes = 64;
// FindFileSizeCrc's output holds 255 bytes and a terminator.
constexpr size_t kOutputBytes = 256;

// The library's path form (backslashes) as a POSIX path.
std::string Native(std::string path)
{
    for (char& c : path)
        c = c == '\\' ? '/' : c;
    return path;
}

// Each row: expected "" when the joined path would not fit the path buffer,
// in which case the path is left as it was.
TEST(JoinPath, PutsOneBackslashBetweenAndRefusesPathsBeyondTheSystemsLimit)
{
    const std::string longest(kPathCapacity - 3, 'd');
    const struct {
        std::string directory, name, expected;
        const char* why;
    } rows[] = {
        {"", "a.zip", "a.zip", "an empty directory gives the bare name"},
        {"C:\\incoming", "a.zip", "C:\\incoming\\a.zip", "a separator is added"},
        {"C:\\incoming\\", "a.zip", "C:\\incoming\\a.zip", "a trailing backslash is not doubled"},
        {"C:", "a.zip", "C:\\a.zip", "a drive gives its root"},
        {"C:/incoming/", "a.zip", "C:/incoming/\\a.zip", "a forward slash is no separator"},
        {longest, "a", longest + "\\a", "the longest path that fits"},
        {longest, "ab", "", "one byte more"},
    };
    for (const auto& row : rows) {
        std::vector<char> path(kPathCapacity + kGuardBytes, kGuard);
        memcpy(path.data(), row.directory.c_str(), row.directory.size() + 1);
        bool fits = !row.expected.empty();
        size_t length = JoinPath(path.data(), row.directory.size(), row.name.c_str());
        EXPECT_EQ(length, row.expected.size()) << row.why;
        EXPECT_EQ(std::string(path.data()), fits ? row.expected : row.directory) << row.why;
        for (size_t i = kPathCapacity; i < path.size(); ++i)
            ASSERT_EQ(path[i], kGuard) << row.why << ": byte " << i;
    }
}

// A fresh tree in a temporary directory, which is the current directory for
// the test, so that relative directory texts name the tree's parts.
class SearchTree : public testing::Test {
protected:
    void SetUp() override
    {
        char root[] = "/tmp/tallowix-search-XXXXXX";
        ASSERT_NE(mkdtemp(root), nullptr);
        root_ = root;
        chmod(root_.c_str(), 0755);  // so that the unprivileged cases reach it
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
        ASSERT_TRUE((std::ofstream(native, std::ios::binary) << content).good()) << path;
    }

    static void Dir(const std::string& path) { std::filesystem::create_directories(Native(path)); }

    // Whether readdir lists `first` before `second` in `dir`.
    static bool ListedBefore(const std::string& dir, const std::string& first,
                             const std::string& second)
    {
        for (const auto& entry : std::filesystem::directory_iterator(Native(dir))) {
            std::string name = entry.path().filename();
            if (name == first || name == second)
                return name == first;
        }
        ADD_FAILURE() << first << " and " << second << " not listed in " << dir;
        return false;
    }

    // The names of `dir`'s entries opened while `action` ran, as inotify saw them.
    template <typename Action>
    static std::set<std::string> OpenedDuring(const std::string& dir, Action action)
    {
        int watch = inotify_init1(IN_NONBLOCK);
        EXPECT_GE(inotify_add_watch(watch, Native(dir).c_str(), IN_OPEN), 0) << dir;
        action();
        std::set<std::string> opened;
        alignas(inotify_event) char events[4096];
        for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;)
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                if (event->len > 0)
                    opened.insert(event->name);
                at += sizeof *event + event->len;
            }
        close(watch);
        return opened;
    }

    // Searches for `content` (or size and crc) and checks the answer:
    // `expected` "" means no match, when only the output's first byte may
    // change; never is a byte written behind the 256-byte output.
    static void Expect(uint32_t size, uint32_t crc, const std::string& directory,
                       const std::string& expected, const char* why)
    {
        char output[kOutputBytes + kGuardBytes];
        memset(output, kGuard, sizeof output);
        int result = FindFileSizeCrc(size, crc, directory.c_str(), output);
        EXPECT_EQ(result, expected.empty() ? 0 : 1) << why;
        EXPECT_EQ(std::string(output, strnlen(output, kOutputBytes)), expected) << why;
        for (size_t i = expected.empty() ? 1 : kOutputBytes; i < sizeof output; ++i)
            ASSERT_EQ(output[i], kGuard) << why << ": byte " << i;
    }

    static void Expect(const std::string& content, const std::string& directory,
                       const std::string& expected, const char* why)
    {
        Expect(static_cast<uint32_t>(content.size()), ReferenceCrc(content), directory, expected,
               why);
    }

    std::string root_;
    std::filesystem::path saved_cwd_;
};

TEST_F(SearchTree, ResultKeepsTheDirectoryTextAsGivenWithOneSeparator)
{
    Write("in\\a.zip", "alpha");
    Dir("in\\empty");
    const struct {
        std::string directory, expected;  // expected "": no match
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
    for (const auto& row : rows)
        Expect("alpha", row.directory, row.expected, row.why);
}

TEST_F(SearchTree, ASubdirectoryIsSearchedWhenListedSoTheFirstMatchInListingOrderWins)
{
    // Varied names and creation orders give both listing orders on any file
    // system; each directory is checked against its own readdir order.
    int sub_first = 0, file_first = 0;
    for (int i = 0; i < 16; ++i) {
        std::string dir = "o" + std::to_string(i) + "\\";
        std::string sub = (i % 4 < 2 ? "sub" : "a") + std::to_string(i);
        std::string file = (i % 4 < 2 ? "b" : "m") + std::to_string(i) + ".zip";
        if (i % 2 == 0)
            Write(dir + sub + "\\a.zip", "match");
        Write(dir + file, "match");
        if (i % 2 == 1)
            Write(dir + sub + "\\a.zip", "match");
        bool sub_listed_first = ListedBefore(dir, sub, file);
        (sub_listed_first ? sub_first : file_first)++;
        Expect("match", dir, dir + (sub_listed_first ? sub + "\\a.zip" : file), "listing order");
    }
    EXPECT_GT(sub_first, 0) << "no directory listed its subdirectory first";
    EXPECT_GT(file_first, 0) << "no directory listed its file first";
}

TEST_F(SearchTree, OfTwoMatchingFilesTheFirstListedWins)
{
    for (int i = 0; i < 8; ++i) {
        std::string dir = "t" + std::to_string(i) + "\\";
        std::string x = "x" + std::to_string(i), y = "y" + std::to_string(i);
        Write(dir + (i % 2 ? x : y), "twin");
        Write(dir + (i % 2 ? y : x), "twin");
        Expect("twin", dir, dir + (ListedBefore(dir, x, y) ? x : y), "two matches");
    }
}

TEST_F(SearchTree, AFileOneByteLongerWithTheWantedCrcIsNeitherOpenedNorAnswered)
{
    // Four chosen bytes give the longer file the same CRC-32, so only the
    // exact size comparison keeps it out. Names and creation orders vary as
    // above, and some directory must list the longer file first.
    const std::string content = "exact size";
    const std::string longer = WithCrc(std::string(content.size() - 3, 'L'), ReferenceCrc(content));
    ASSERT_EQ(ReferenceCrc(longer), ReferenceCrc(content));
    int longer_first = 0;
    for (int i = 0; i < 8; ++i) {
        std::string dir = "s" + std::to_string(i) + "\\";
        std::string x = "x" + std::to_string(i), y = "y" + std::to_string(i);
        std::string wrong = i % 2 ? x : y, right = i % 2 ? y : x;
        for (int k = 0; k < 2; ++k)
            Write(dir + ((i / 2 + k) % 2 ? wrong : right), (i / 2 + k) % 2 ? longer : content);
        longer_first += ListedBefore(dir, wrong, right);
        auto opened = OpenedDuring(dir, [&] { Expect(content, dir, dir + right, "size + 1"); });
        EXPECT_EQ(opened, std::set<std::string>{right}) << "only the file of the right size is read";
    }
    EXPECT_GT(longer_first, 0) << "no directory listed the longer file first";
}

TEST_F(SearchTree, DirectoriesBeginningWithAFullStopAreNeverEnteredButSuchFilesMatch)
{
    Write("h\\.cache\\m.zip", "cached");
    Write("h\\.profile", "profile");
    Write("h\\sub\\.hidden", "dotfile");
    Expect("cached", "h", "", "only under .cache");
    Expect("profile", "h", "h\\.profile", "a file beginning with a full stop");
    Expect("dotfile", "h", "h\\sub\\.hidden", "one level down");
    Expect("cached", "h\\.cache", "h\\.cache\\m.zip", "the rule is on listed names only");
}

// A link back to the directory that lists it, or to an ancestor, is passed
// over; any other link is followed. Names vary so that some directory lists
// its link before its file, when a walk through the link would answer first.
TEST_F(SearchTree, ALinkBackIntoTheWalkIsPassedOverAndOtherLinksAreFollowed)
{
    Dir("two\\d");
    for (const char* link : {"two/d/a", "two/d/b"})
        ASSERT_EQ(symlink("..", link), 0);
    Expect("no such file", "two", "", "two links back to the parent, no match: the search ends");
    int link_first = 0;
    for (int i = 0; i < 8; ++i) {
        std::string top = "one" + std::to_string(i), dir = top + "\\d";
        std::string link = (i % 2 ? "a" : "z") + std::to_string(i);
        std::string file = (i % 2 ? "z" : "a") + std::to_string(i) + ".bin";
        Write(dir + "\\" + file, "beside");
        ASSERT_EQ(symlink(i < 4 ? ".." : ".", Native(dir + "\\" + link).c_str()), 0);
        link_first += ListedBefore(dir, link, file);
        Expect("beside", top, dir + "\\" + file, i < 4 ? "one link back" : "a link to itself");
    }
    EXPECT_GT(link_first, 0) << "no directory listed its link first";
    Write("outside\\far.bin", "far away");
    Dir("in");
    ASSERT_EQ(symlink("../outside", "in/out"), 0);
    Expect("far away", "in", "in\\out\\far.bin", "a link to a folder outside the tree");
    Write("up\\x\\y\\zz.bin", "direct");
    Write("up\\outer.bin", "outer");
    ASSERT_EQ(symlink("../../..", "up/x/y/r1"), 0);
    Expect("direct", "up\\x", "up\\x\\y\\zz.bin", "a link to a folder above the start");
    Expect("outer", "up\\x", "", "a folder above the start is not searched through a link");
    Dir("lad\\0");
    for (int i = 1; i <= 24; ++i) {
        Dir("lad\\" + std::to_string(i));
        for (const char* name : {"/a", "/b"})
            ASSERT_EQ(symlink(("../" + std::to_string(i)).c_str(),
                              ("lad/" + std::to_string(i - 1) + name).c_str()), 0);
    }
    Expect("no such file", "lad\\0", "", "a ladder of 24 levels, two links each: once each");
    // Two tmpfs roots, where mounting is allowed (as root).
    Dir("tm\\a");
    Dir("tm\\b");
    if (mount("a", "tm/a", "tmpfs", 0, nullptr) != 0 || mount("b", "tm/b", "tmpfs", 0, nullptr) != 0) {
        umount("tm/a");
        std::puts("tmpfs row skipped: cannot mount");
        return;
    }
    Write("tm\\b\\f.bin", "tmpfs");
    EXPECT_EQ(symlink("../b", "tm/a/l"), 0);
    Expect("tmpfs", "tm\\a", "tm\\a\\l\\f.bin", "a link from one tmpfs root to another");
    umount("tm/a");
    umount("tm/b");
}

TEST_F(SearchTree, SizeZeroAndCrcZeroMatchTheFirstEmptyFileAndNoDirectory)
{
    Dir("z\\d1");
    Dir("z\\d2\\d3");
    Expect(0, 0, "z", "", "directories only");
    Write("z\\d2\\d3\\empty", "");
    Expect(0, 0, "z", "z\\d2\\d3\\empty", "the empty file");
}

TEST_F(SearchTree, ACandidateThatCannotBeOpenedNeverMatchesAndTheSearchGoesOn)
{
    // A dangling link is listed as a file of its target text's length and
    // cannot be opened, even by root.
    ASSERT_EQ(symlink("nowhere123", "dangling"), 0);
    Write("z\\later.bin", "0123456789");
    EXPECT_EQ(CalcFileCrc("dangling"), kUnopenableCrc) << "Get32BitCrc still says ffffffff";
    Expect(10, kUnopenableCrc, "", "", "never matches ffffffff");
    Expect("0123456789", "", "z\\later.bin", "a later match");
}

TEST_F(SearchTree, UnreadableFilesAndUnlistableDirectoriesArePassedOver)
{
    Write("u\\locked.bin", "lockedXY");
    Write("u\\closed\\inner.bin", "innerXYZ");
    Write("u\\open\\later.bin", "laterXYZ");
    ASSERT_EQ(chmod("u/locked.bin", 0), 0);
    ASSERT_EQ(chmod("u/closed", 0), 0);
    Expect("innerXYZ", "u", "u\\closed\\inner.bin", "reachable with privilege");
    // Without root's powers (as "nobody"), so that permissions deny; put
    // back however the test ends.
    struct Unprivileged {
        bool root = geteuid() == 0;
        Unprivileged() { EXPECT_TRUE(!root || seteuid(65534) == 0); }
        ~Unprivileged() { EXPECT_TRUE(!root || seteuid(0) == 0); }
    } unprivileged;
    Expect("lockedXY", "u", "", "the locked file is not read");
    Expect(8, kUnopenableCrc, "u", "", "nor does it match ffffffff");
    Expect("innerXYZ", "u", "", "the closed directory gives nothing");
    Expect("laterXYZ", "u", "u\\open\\later.bin", "the search goes on");
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
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(kFourGib)), 10);
    close(fd);
    // CRC of 4 GiB of zeros by doubling with zlib, so that nothing is read;
    // after three doublings it must equal the CRC of eight zeros.
    uint32_t zeros = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>("\0"), 1));
    for (int doubling = 0; doubling < 32; ++doubling) {
        if (doubling == 3)
            EXPECT_EQ(zeros, ReferenceCrc(std::string(8, '\0')));
        zeros = static_cast<uint32_t>(crc32_combine64(zeros, zeros, z_off64_t(1) << doubling));
    }
    uint32_t crc = static_cast<uint32_t>(crc32_combine64(zeros, ReferenceCrc(tail), 10));
    Expect(10, crc, "big", "big\\huge.bin", "compared by its size modulo 2^32");
}

TEST_F(SearchTree, AnAnswerBeyond255BytesIsNeverCutAndDeeperTreesAreWalked)
{
    // "deep" and four 50-character levels: 208 characters, room for 47 more.
    std::string level = "deep";
    for (int i = 0; i < 4; ++i)
        level += "\\" + std::string(49, 'a' + i) + std::to_string(i);
    ASSERT_EQ(level.size(), 208u);
    const struct {
        std::string path;
        bool found;
        const char* why;
    } rows[] = {
        {level + "\\" + std::string(46, 'f'), true, "a file path of exactly 255 characters"},
        {level + "\\" + std::string(47, 'g'), false, "a file path of 256 characters"},
        {level + "\\" + std::string(42, 'h') + "\\x", true, "a directory whose pattern just fits"},
        {level + "\\" + std::string(43, 'i') + "\\x", true, "a path of 254 under a deeper directory"},
        {level + "\\" + std::string(100, 'j') + "\\" + std::string(100, 'k') + "\\y", false,
         "far beyond the output"},
    };
    for (size_t i = 0; i < std::size(rows); ++i)
        Write(rows[i].path, "deep" + std::to_string(i));
    for (size_t i = 0; i < std::size(rows); ++i)
        Expect("deep" + std::to_string(i), "deep", rows[i].found ? rows[i].path : "", rows[i].why);
}

}  // namespace
