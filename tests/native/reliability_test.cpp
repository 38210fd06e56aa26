// Reliability of the portable core: concurrent callers, host buffers of any
// content, and file systems that change or misbehave under the library.
#include "crc/filecrc.h"
#include "host/calltable.h"
#include "host/host.h"
#include "sfv/namecrc.h"
#include "host/lifecycle.h"
#include "sfv/sfvcheck.h"
#include "sfv/sfvlist.h"
#include "sfv/sfvmake.h"
#include "test_data.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t kHostBufferBytes = 10240;
constexpr char kGuard = '\x5A';

void Write(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

using HostRoutine = int (*)(void*, void*, char*, char*, int, int);

// Runs a host routine on `input` in a host-sized buffer and checks the bytes
// past max(input + 1, 256) are untouched. Returns the result text.
std::string CallHost(HostRoutine routine, const std::string& input)
{
    std::vector<char> buffer(kHostBufferBytes, kGuard);
    memcpy(buffer.data(), input.c_str(), input.size() + 1);
    EXPECT_EQ(routine(nullptr, nullptr, buffer.data(), nullptr, 0, 1), kHostReturnResult);
    std::string behind(buffer.begin() + std::max(input.size() + 1, size_t(kHostResultCapacity)),
                       buffer.end());
    EXPECT_EQ(behind.find_first_not_of(kGuard), std::string::npos)
        << "write past the result, input of " << input.size() << " bytes";
    return std::string(buffer.data());
}

class Reliability : public testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::current_path() / "reliability";
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }
    fs::path root_;
};

// More threads than the pool has read buffers, each hashing its own large
// file and searching a shared tree, so that some wait for a buffer: every
// answer must equal the single-threaded one.
TEST_F(Reliability, ConcurrentCallsGiveTheSingleThreadedAnswers)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 12;
    std::string big[kThreads], crc_expected[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        std::string bytes = RandomBytes(1200000 + 777 * t, 900 + t);
        big[t] = (root_ / ("big" + std::to_string(t))).string();
        Write(big[t], bytes);
        crc_expected[t] = Hex8(ReferenceCrc(bytes));
    }
    fs::create_directories(root_ / "tree" / "a" / "b");
    std::string needle = RandomBytes(4321, 5);
    for (int i = 0; i < 40; ++i)
        Write(root_ / "tree" / "a" / ("f" + std::to_string(i)), RandomBytes(4321, 100 + i));
    Write(root_ / "tree" / "a" / "b" / "needle", needle);
    std::string line = "4321," + Hex8(ReferenceCrc(needle)) + "," + (root_ / "tree").string();
    std::string search_expected = CallHost(MIRCFindFileSizeCrc, line);
    ASSERT_NE(search_expected.find("needle"), std::string::npos);

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                wrong += CallHost(Get32BitCrc, big[t]) != crc_expected[t];
                wrong += CallHost(MIRCFindFileSizeCrc, line) != search_expected;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Four callers reading FIFOs hold all four read buffers. A fifth waits and must
// finish once one reader ends; a sixth arriving as that buffer is released
// must not share it with the fifth: at most four FIFOs are read at any time.
// Each FIFO gets one byte, so a reader that holds a buffer drains it.
TEST_F(Reliability, CallersBeyondTheReadBuffersWaitForOneAndNeverShareIt)
{
    constexpr int kCallers = kReadBufferCount + 2;
    int writer[kCallers];
    std::string fifo[kCallers];
    for (int i = 0; i < kCallers; ++i) {
        fifo[i] = (root_ / ("fifo" + std::to_string(i))).string();
        ASSERT_EQ(mkfifo(fifo[i].c_str(), 0600), 0);
        writer[i] = open(fifo[i].c_str(), O_RDWR);  // a writer, so that no open blocks
        ASSERT_GE(writer[i], 0);
        ASSERT_EQ(write(writer[i], "x", 1), 1);
    }
    auto drained = [&](int i) {
        int pending = -1;
        return ioctl(writer[i], FIONREAD, &pending) == 0 && pending == 0;
    };
    auto nap = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    std::vector<std::thread> callers;
    uint32_t crc[kCallers] = {};
    auto call = [&](int i) {
        callers.emplace_back([&, i] { crc[i] = CalcFileCrc(fifo[i].c_str()); });
    };
    for (int i = 0; i < kReadBufferCount; ++i)
        for (call(i); !drained(i);)
            nap(1);
    call(4);
    nap(200);
    EXPECT_FALSE(drained(4)) << "a fifth caller read while four held every buffer";
    close(writer[0]);  // reader 0 ends
    call(5);
    while (!drained(4) && !drained(5))
        nap(1);
    nap(200);
    EXPECT_FALSE(drained(4) && drained(5)) << "two callers took the one released buffer";
    for (int i = 1; i < kCallers; ++i)
        close(writer[i]);
    for (auto& th : callers)
        th.join();
    for (int i = 0; i < kCallers; ++i)
        EXPECT_EQ(crc[i], ReferenceCrc("x")) << "caller " << i;
}

// Inputs of every length up to the host's buffer, of text and of arbitrary
// bytes: each routine answers 3, stays within its 256 bytes and does not
// crash. A null buffer is left alone.
TEST_F(Reliability, HostBuffersOfAnyLengthAndContent)
{
    const HostRoutine routines[] = {Get32BitCrc, GetDllVersion, MIRCFindFileSizeCrc};
    const size_t lengths[] = {0, 1, 230, 231, 255, 256, 300, 1000, kHostBufferBytes - 1};
    for (HostRoutine routine : routines) {
        EXPECT_EQ(routine(nullptr, nullptr, nullptr, nullptr, 0, 1), kHostReturnResult);
        for (size_t length : lengths) {
            std::string text(length, 'a');
            CallHost(routine, text);
            std::string line = "1,0," + std::string(length, 'd');
            EXPECT_LT(CallHost(routine, line.substr(0, kHostBufferBytes - 1)).size(),
                      kHostResultCapacity);
            std::string noise = RandomBytes(length, static_cast<uint32_t>(length));
            std::replace(noise.begin(), noise.end(), '\0', '\x01');
            CallHost(routine, noise);
        }
    }
    EXPECT_EQ(CallHost(Get32BitCrc, std::string(kHostBufferBytes - 1, 'a')), "ffffffff");
    EXPECT_EQ(CallHost(MIRCFindFileSizeCrc, "1,0," + std::string(300, 'd')), "");
}

// LoadDll's mVersion (major in the low word, minor in the high) as each mIRC
// gives it, and the data buffer that version has.
TEST(HostVersion, EachVersionHasItsBuffer)
{
    auto v = [](uint32_t major, uint32_t minor) { return major | minor << 16; };
    const struct { uint32_t version, bytes, hundredths, buffer; } rows[] = {
        {v(6, 2), 0, 620, 900},         // not yet padded: 6.2 is 6.20
        {v(6, 31), 0, 631, 900},       {v(6, 32), 0, 632, 4096},
        {v(7, 52), 0, 752, 4096},      {v(7, 53), 0, 753, 8192},
        {v(7, 61), 0, 761, 8192},      {v(7, 62), 0, 762, 10240},
        {v(7, 64), 40960, 764, 20480}, {v(7, 64), 0xFFFFFFFFu, 764, kMostHostBufferBytes},
        {v(7, 64), 0, 764, 10240},     // no mBytes: 7.63's
        {v(7, 64), 8192, 764, 4096},   // a smaller buffer, taken as said
        {v(0, 91), 0, 591, 900},       {v(0, 3), 0, 603, 900},  // 5.91 and 6.03 give no major
        {v(7, 100), 0, 0, 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ReadHostVersion(row.version), row.hundredths) << std::hex << row.version;
        if (row.hundredths != 0)
            EXPECT_EQ(BufferBytesOf(row.hundredths, row.bytes), row.buffer) << row.hundredths;
    }
}

// Without a window (the POSIX build has none) a signal routine cannot hand
// its command over, so it hands it back with 2 for the host to run. A text
// without a usable tag runs nothing. Nothing is written past the command, and
// a command fits the smallest host buffer, 900 bytes.
TEST_F(Reliability, SignalRoutinesWithoutAWindowHandTheCommandBack)
{
    constexpr size_t kSmallestHostBuffer = 900;
    std::string root = root_.string(), file = root + "/f.bin", tag255(255, 't');
    Write(file, "123456789");
    const std::string crc = "/signal tallowix Get32BitCrc ", search = "/signal tallowix MIRCFindFileSizeCrc ";
    const struct {
        HostRoutine routine;
        std::string input;
        int result;
        std::string text;
        const char* why;
    } rows[] = {
        {SignalGet32BitCrc, "t1 " + file, 2, crc + "t1 cbf43926", "a CRC"},
        {SignalGet32BitCrc, "t1", 2, crc + "t1 ffffffff", "no argument: the empty path"},
        {SignalGet32BitCrc, "t1  " + file, 2, crc + "t1 ffffffff", "a second space begins the path"},
        {SignalFindFileSizeCrc, "s 9,cbf43926," + root, 2, search + "s " + root + "\\f.bin", "a search"},
        {SignalFindFileSizeCrc, "s 9,g1," + root, 2, search + "s ", "no CRC value: the empty answer"},
        {SignalFindFileSizeCrc, "\xC3\xA9$% 9,cbf43926," + root, 2,
         search + "\xC3\xA9$% " + root + "\\f.bin", "a tag in UTF-8, with $ and %"},
        {SignalGet32BitCrc, tag255 + " " + file, 2, crc + tag255 + " cbf43926", "a tag of 255 bytes"},
        {SignalGet32BitCrc, tag255 + "t " + file, 3, "", "a tag of 256 bytes"},
        {SignalGet32BitCrc, "", 3, "", "no tag"},
        {SignalGet32BitCrc, " " + file, 3, "", "a text beginning with a space"},
        {SignalGet32BitCrc, "| " + file, 3, "", "a lone |, the host's command separator"},
        {SignalFindFileSizeCrc, "a\tb 9,cbf43926," + root, 3, "", "a control byte in the tag"},
    };
    for (const auto& row : rows) {
        std::vector<char> buffer(kHostBufferBytes, kGuard);
        memcpy(buffer.data(), row.input.c_str(), row.input.size() + 1);
        EXPECT_EQ(row.routine(nullptr, nullptr, buffer.data(), nullptr, 0, 1), row.result) << row.why;
        std::string text(buffer.data());
        EXPECT_EQ(text, row.text) << row.why;
        EXPECT_LT(text.size(), kSmallestHostBuffer) << row.why;
        size_t written = std::max(row.input.size(), text.size()) + 1;
        EXPECT_EQ(std::string(buffer.begin() + written, buffer.end()).find_first_not_of(kGuard),
                  std::string::npos) << row.why;
    }
    EXPECT_EQ(SignalGet32BitCrc(nullptr, nullptr, nullptr, nullptr, 0, 1), kHostReturnResult);
}

// A file that grows or shrinks while it is read: the answer is the CRC of
// whatever was read, always eight digits, never a crash.
TEST_F(Reliability, FilesChangingWhileTheyAreRead)
{
    std::string path = (root_ / "moving").string();
    Write(path, RandomBytes(3000000, 1));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            truncate(path.c_str(), (i % 2) ? 100 : 2500000);
            std::ofstream(path, std::ios::binary | std::ios::app) << RandomBytes(70000, i);
        }
    });
    for (int i = 0; i < 50; ++i) {
        std::string text = CallHost(Get32BitCrc, path);
        ASSERT_EQ(text.size(), 8u);
        ASSERT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);
    }
    stop = true;
    writer.join();
}

// Directories created and removed while searches run over them: a search
// answers empty or with a file that matched, and never crashes.
TEST_F(Reliability, DirectoriesRemovedWhileTheSearchRuns)
{
    std::string content = RandomBytes(777, 3);
    std::string crc = Hex8(ReferenceCrc(content));
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        for (int i = 0; !stop; ++i) {
            fs::path dir = root_ / ("d" + std::to_string(i % 7)) / "e";
            std::error_code ec;
            fs::create_directories(dir, ec);
            Write(dir / "hit", content);
            fs::remove_all(root_ / ("d" + std::to_string((i + 3) % 7)), ec);
        }
    });
    for (int i = 0; i < 300; ++i) {
        std::string text = CallHost(MIRCFindFileSizeCrc, "777," + crc + "," + root_.string());
        if (!text.empty())
            ASSERT_NE(text.find("\\e\\hit"), std::string::npos) << text;
    }
    stop = true;
    churn.join();
}

// Trees the search must survive: a link to an ancestor (passed over, so the
// walk does not go round) and names with bytes 0x80 to 0xFF, which are no
// UTF-8 and so name nothing the library can answer: passed over, as Windows
// passes over a name with no UTF-8 form.
TEST_F(Reliability, LoopingLinksAndHighByteNames)
{
    fs::create_directories(root_ / "loop" / "in");
    fs::create_directory_symlink("..", root_ / "loop" / "in" / "up");
    std::string content = "high bytes", name = "caf\xE9 \xA0\xFF.sfv";
    fs::create_directories(root_ / "names");
    Write(root_ / "names" / name, content);

    EXPECT_EQ(CallHost(MIRCFindFileSizeCrc, "12345,0," + (root_ / "loop").string()), "");
    std::string names = (root_ / "names").string();
    EXPECT_EQ(CallHost(MIRCFindFileSizeCrc, "10," + Hex8(ReferenceCrc(content)) + "," + names), "");
    Write(root_ / "names" / "caf\xC3\xA9.sfv", content);
    EXPECT_EQ(CallHost(MIRCFindFileSizeCrc, "10," + Hex8(ReferenceCrc(content)) + "," + names),
              names + "\\caf\xC3\xA9.sfv");
}



// The table of running background calls, by tag.
TEST(CallTable, TagsFindTheirCallsAndAFullTableStillRuns)
{
    WorkWatch* a1 = ClaimCallSlot("a", CallKind::kCrc);
    WorkWatch* a2 = ClaimCallSlot("a", CallKind::kSearch);
    WorkWatch* b = ClaimCallSlot("b", CallKind::kSfv);
    ASSERT_TRUE(a1 && a2 && b);
    a1->bytes_done = 7;
    a2->entries_done = 9;
    CallProgress progress;
    ASSERT_TRUE(ReadCallProgress("a", &progress));
    EXPECT_EQ(progress.kind, CallKind::kCrc) << "the first call of a tag is the earliest";
    EXPECT_EQ(progress.bytes_done, 7u);
    EXPECT_FALSE(ReadCallProgress("c", &progress));
    EXPECT_EQ(StopCalls("a"), 2) << "every call of the tag is told";
    EXPECT_TRUE(a1->Stopped() && a2->Stopped() && !b->Stopped());
    EXPECT_EQ(StopCalls(std::string(300, 'x').c_str()), 0);
    EXPECT_EQ(ClaimCallSlot(std::string(kMaxTagBytes + 1, 't').c_str(), CallKind::kCrc), nullptr);
    std::vector<WorkWatch*> rest;
    while (WorkWatch* w = ClaimCallSlot("full", CallKind::kCrc))
        rest.push_back(w);
    EXPECT_EQ(rest.size(), size_t(kCallSlots - 3));
    for (WorkWatch* w : rest)
        ReleaseCallSlot(w);
    for (WorkWatch* w : {a1, a2, b})
        EXPECT_EQ(ReleaseCallSlot(w), w != b) << "leaving, a call learns whether it was told";
    EXPECT_FALSE(ReadCallProgress("a", &progress));
    EXPECT_EQ(StopCalls(nullptr), 0);
}

// SFV lists: how a line is read, and each verdict.
struct SfvRow {
    std::string line;
    bool entry, valid;
    std::string name;
    uint32_t crc;
};

TEST(SfvList, LinesAreReadAsTheRulesSay)
{
    const SfvRow rows[] = {
        {"a.txt 1a2b3c4d", true, true, "a.txt", 0x1a2b3c4d},
        {"  two  spaces.bin\tABC  ", true, true, "two  spaces.bin", 0xabc},
        {"sub/x.bin 0", true, true, "sub/x.bin", 0},
        {"\xC3\xA9t\xC3\xA9 ffffffff", true, true, "\xC3\xA9t\xC3\xA9", 0xffffffff},
        {"; comment 12345678", false, false, "", 0},
        {"   ", false, false, "", 0},
        {"a.txt 123456789", true, false, "", 0},   // nine digits
        {"a.txt 12g4", true, false, "", 0},
        {"12345678", true, false, "", 0},           // no name
        {"\\abs.txt 1", true, false, "", 0},
        {"/abs.txt 1", true, false, "", 0},
        {"C:x.txt 1", true, false, "", 0},
        {"a.txt:stream 1", true, false, "", 0},
        {"..\\up.txt 1", true, false, "", 0},
        {"a/../../up.txt 1", true, false, "", 0},
        {"a/.../up.txt 1", true, false, "", 0},
        {"a|b.txt 1", true, false, "", 0},
        {"a\x01" "b.txt 1", true, false, "", 0},
        {std::string(2000, 'n') + " 1", true, true, std::string(2000, 'n'), 1},  // no 255 limit
        {"a.b..c 1", true, true, "a.b..c", 1},
        {"sub/con.txt 1", true, false, "", 0},
        {"com1 1", true, false, "", 0},
        {"console.txt 1", true, true, "console.txt", 1},
        {"\"quoted name.rar\" 83a20923", true, true, "quoted name.rar", 0x83a20923},
        {"COM\xC2\xB9.txt 1", true, false, "", 0},  // superscript one: a device too
        {"lpt\xC2\xB3 1", true, false, "", 0},
        {"COM\xC2\xB4 1", true, true, "COM\xC2\xB4", 1},  // an acute accent is none
        {std::string(kMaxSfvLineBytes - 2, 'n') + " 1", true, true, std::string(kMaxSfvLineBytes - 2, 'n'), 1},
        {std::string(kMaxSfvLineBytes + 1, 'n') + " 1", true, false, "", 0},  // overlong
    };
    for (const SfvRow& row : rows) {
        // Lines come trimmed from the reader, as here.
        std::string trimmed = row.line.substr(0, kMaxSfvLineBytes);
        trimmed.erase(0, trimmed.find_first_not_of(" \t"));
        trimmed.erase(trimmed.find_last_not_of(" \t") + 1);
        auto line = std::make_unique<SfvLine>();
        std::vector<char> utf8(kMaxSfvLineBytes + 1);
        memcpy(line->text, trimmed.c_str(), trimmed.size() + 1);
        line->length = trimmed.size();
        line->overlong = row.line.size() > kMaxSfvLineBytes;
        line->has_nul = line->unpaired = false;
        EXPECT_EQ(IsSfvEntry(*line), row.entry) << row.line.substr(0, 40);
        SfvEntry entry;
        EXPECT_EQ(row.entry && ParseSfvEntry(*line, TextEncoding::kUtf8, utf8.data(), &entry), row.valid)
            << row.line.substr(0, 40);
        if (row.valid) {
            EXPECT_EQ(entry.name, row.name);
            EXPECT_EQ(entry.crc, row.crc);
        }
    }
}

struct Reported {
    std::vector<std::string> lines;
    size_t refuse_after = SIZE_MAX;
};

bool Record(void* context, uint64_t index, uint64_t count, const char* word, const char* name)
{
    auto* reported = static_cast<Reported*>(context);
    if (reported->lines.size() == reported->refuse_after)
        return false;
    reported->lines.push_back(std::to_string(index) + "/" + std::to_string(count) + " " + word +
                              (name ? std::string(" ") + name : ""));
    return true;
}

// The list text of `ascii` in UTF-16 with a byte-order mark.
std::string Utf16List(const std::string& ascii, bool little)
{
    std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
    for (char c : ascii)
        out += little ? std::string{c, '\0'} : std::string{'\0', c};
    return out;
}

TEST_F(Reliability, AnSfvListIsCheckedInOrderWithEveryVerdict)
{
    fs::create_directories(root_ / "sub" / "dir");
    Write(root_ / "a.txt", "hello\n");
    Write(root_ / "sub" / "b c.txt", "world\n");
    Write(root_ / "\xC3\xA9t\xC3\xA9", "ete");
    Write(root_ / "bad.bin", "x");
    std::string crc_a = Hex8(ReferenceCrc("hello\n"));
    std::string list = "\xEF\xBB\xBF; made by hand\r\na.txt " + crc_a + "\r\nsub/b c.txt " +
                       Hex8(ReferenceCrc("world\n")) + "\n\n\xC3\xA9t\xC3\xA9 " + Hex8(ReferenceCrc("ete")) +
                       "\rbad.bin 0\nmissing 0\nsub/dir 0\n..\\a.txt " + crc_a + "\nlast.txt";
    Write(root_ / "list.sfv", list);
    // The same names in the code page (here: bytes that are no UTF-8).
    Write(root_ / "caf\xE9", "cafe");
    Write(root_ / "cp.sfv", "caf\xE9 " + Hex8(ReferenceCrc("cafe")) + "\na.txt " + crc_a + "\n");
    // Lists as other tools write them: UTF-16 either way round, a banner in
    // another code page above UTF-8 names, a padding of NULs at the end.
    std::string entries = "a.txt " + crc_a + "\r\n\"sub/b c.txt\" " + Hex8(ReferenceCrc("world\n")) + "\r\n";
    Write(root_ / "le.sfv", Utf16List(entries, true));
    Write(root_ / "be.sfv", Utf16List(entries + std::string(5, '\0'), false));
    Write(root_ / "banner.sfv", "; \xC9\xCD\xCD\xBB made by\n\xC3\xA9t\xC3\xA9 " +
                                    Hex8(ReferenceCrc("ete")) + "\n" + std::string(40, '\0'));
    struct { std::string list; std::vector<std::string> expected; ListEnd end; } rows[] = {
        {"list.sfv",
         {"1/8 OK a.txt", "2/8 OK sub/b c.txt", "3/8 OK \xC3\xA9t\xC3\xA9", "4/8 BAD bad.bin",
          "5/8 MISSING missing", "6/8 UNREADABLE sub/dir", "7/8 INVALID", "8/8 INVALID"},
         ListEnd::kDone},
        // Here the code page is UTF-8 itself: bytes that are no UTF-8 name nothing.
        {"cp.sfv", {"1/2 INVALID", "2/2 OK a.txt"}, ListEnd::kDone},
        {"le.sfv", {"1/2 OK a.txt", "2/2 OK sub/b c.txt"}, ListEnd::kDone},
        {"be.sfv", {"1/2 OK a.txt", "2/2 OK sub/b c.txt"}, ListEnd::kDone},
        {"banner.sfv", {"1/1 OK \xC3\xA9t\xC3\xA9"}, ListEnd::kDone},
        {"none.sfv", {}, ListEnd::kUnreadable},
    };
    char counts[kListCountsBytes];
    for (const auto& row : rows) {
        Reported reported;
        WorkWatch watch;
        std::string path = (root_ / row.list).string();
        EXPECT_EQ(CheckSfvList(path.c_str(), &watch, {Record, nullptr, &reported}, counts),
                  row.end) << row.list;
        EXPECT_EQ(reported.lines, row.expected) << row.list;
    }
    // A report that stops taking verdicts ends the check; the refused one is not counted.
    Reported reported;
    reported.refuse_after = 2;
    WorkWatch watch;
    std::string path = (root_ / "list.sfv").string();
    EXPECT_EQ(CheckSfvList(path.c_str(), &watch, {Record, nullptr, &reported}, counts),
              ListEnd::kReportRefused);
    EXPECT_STREQ(counts, "2 0 0 0 0");
    // A told check stops before its next entry.
    watch.stop = true;
    EXPECT_EQ(CheckSfvList(path.c_str(), &watch, {Record, nullptr, &reported}, counts),
              ListEnd::kStopped);
}

TEST(NameCrc, TheLastGroupOfEightDigitsInBracketsCounts)
{
    const struct { const char* name; bool carried; uint32_t crc; } rows[] = {
        {"[Group] Title - 01 [1A2B3C4D].mkv", true, 0x1a2b3c4d},
        {"Title (deadbeef).avi", true, 0xdeadbeef},
        {"[11111111] x [22222222].mkv", true, 0x22222222},
        {"x [1234567].mkv", false, 0},    // seven digits
        {"x [123456789].mkv", false, 0},  // nine
        {"x [1234567g].mkv", false, 0},
        {"x [12345678).mkv", false, 0},   // brackets that do not pair
        {"plain.mkv", false, 0},
    };
    for (const auto& row : rows) {
        uint32_t crc = 0;
        EXPECT_EQ(ReadNameCrc(row.name, &crc), row.carried) << row.name;
        if (row.carried)
            EXPECT_EQ(crc, row.crc) << row.name;
    }
}

TEST_F(Reliability, AMadeListChecksAndAStoppedOrRefusedMakeLeavesTheOldList)
{
    fs::create_directories(root_ / "sub");
    Write(root_ / "b c.txt", "world\n");
    Write(root_ / "a.txt", "hello\n");
    Write(root_ / "\xC3\xA9t\xC3\xA9", "ete");
    Write(root_ / "sub" / "x.bin", "x");
    Write(root_ / "other.sfv", "; not listed\n");
    Write(root_ / "list.sfv", "old");
    Write(root_ / "list.sfv.7.tmp", "left by a make that never ended");
    std::string list = (root_ / "list.sfv").string();
    char counts[kListCountsBytes];
    const struct { std::string flags; std::vector<std::string> made; } rows[] = {
        {"", {"1/3 363A3020 a.txt", "2/3 DD3861A8 b c.txt", "3/3 C7D6F9FC \xC3\xA9t\xC3\xA9"}},
        {"-r ", {"1/4 363A3020 a.txt", "2/4 DD3861A8 b c.txt", "3/4 8CDC1683 sub\\x.bin",
                 "4/4 C7D6F9FC \xC3\xA9t\xC3\xA9"}},
    };
    for (const auto& row : rows) {
        Reported made, checked;
        WorkWatch watch, check_watch;
        EXPECT_EQ(MakeSfvList((row.flags + list).c_str(), &watch, {Record, nullptr, &made}, counts),
                  ListEnd::kDone);
        EXPECT_EQ(made.lines, row.made);
        EXPECT_EQ(CheckSfvList(list.c_str(), &check_watch, {Record, nullptr, &checked}, counts),
                  ListEnd::kDone);
        EXPECT_EQ(counts, std::to_string(row.made.size()) + " 0 0 0 0") << row.flags;
    }
    // Stopped before it began, or refused part-way: the list made last stays,
    // and no temporary file is left beside it.
    std::string before = Read(root_ / "list.sfv");
    for (size_t refuse_after : {size_t(0), size_t(2)}) {
        Reported reported;
        reported.refuse_after = refuse_after;
        WorkWatch watch;
        watch.stop = refuse_after == 0;
        EXPECT_NE(MakeSfvList(list.c_str(), &watch, {Record, nullptr, &reported}, counts),
                  ListEnd::kDone);
        EXPECT_EQ(Read(root_ / "list.sfv"), before);
        EXPECT_FALSE(fs::exists(root_ / "list.sfv.1.tmp"));
    }
}

}  // namespace

