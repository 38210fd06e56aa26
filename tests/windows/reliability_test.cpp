// Reliability through the DLL: host buffers of any length, locked and oddly
// named files, and (64-bit only: threads are unsafe under 32-bit Wine in qemu)
// concurrent callers and a long soak that must leave no handle open and no
// memory growing.
#include "harness.h"
#include "test_data.h"

#include "crc/filecrc.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace {

// A copy of the DLL under `name`, loaded by a host that gives LoadDll
// `version` (major in the low word, minor in the high) and `bytes` (mBytes):
// a module of its own, with that host's encoding and buffer.
HMODULE LoadAsHost(const wchar_t* name, uint32_t version, uint32_t bytes = 0)
{
    std::wstring dll(MAX_PATH, L'\0');
    dll.resize(GetModuleFileNameW(Dll(), &dll[0], MAX_PATH));
    HMODULE module = CopyFileW(dll.c_str(), name, FALSE) ? LoadLibraryW(name) : nullptr;
    struct { DWORD version; HWND window; BOOL keep, unicode; DWORD beta, bytes; } info = {
        version, nullptr, TRUE, FALSE, 0, bytes};
    bool balanced = false;
    if (module != nullptr)
        CallStdcall(GetProcAddress(module, "LoadDll"), {reinterpret_cast<uintptr_t>(&info)}, &balanced);
    return module;
}

void FreeHost(HMODULE module)
{
    bool balanced = false;
    CallStdcall(GetProcAddress(module, "UnloadDll"), {0}, &balanced);
    FreeLibrary(module);
}

class Reliability : public testing::Test {
protected:
    void SetUp() override
    {
        RemoveTree("rel");
        MakeTestDir("rel");
    }
    void TearDown() override { RemoveTree("rel"); }
};

TEST_F(Reliability, InputsUpToTheHostBufferStayWithinTheResult)
{
    const size_t lengths[] = {231, 255, 256, 257, 1000, kHostBufferBytes - 1};
    for (const char* name : kHostRoutines)
        for (size_t length : lengths)
            for (const std::string& input :
                 {std::string(length, 'k'), ("1,0," + std::string(length, 'd')).substr(0, length),
                  std::string(length, ',')}) {
                HostCall call = CallHost(name, input);
                std::string why = name + (" " + std::to_string(length));
                ExpectHostForm(call, why);
                EXPECT_LT(call.Text().size(), kResultBytes) << why;
            }
    EXPECT_EQ(CallHost("Get32BitCrc", std::string(kHostBufferBytes - 1, 'k')).Text(), "ffffffff");
}

TEST_F(Reliability, AFileLockedWithoutSharingAnswersFfffffff)
{
    WriteTestFile("rel\\locked", "123456789");
    HANDLE lock = HoldFile("rel\\locked", GENERIC_READ, 0);
    EXPECT_EQ(CallHost("Get32BitCrc", "rel\\locked").Text(), "ffffffff");
    CloseHandle(lock);
    EXPECT_EQ(CallHost("Get32BitCrc", "rel\\locked").Text(), "cbf43926");
}

// mIRC 7 and later send UTF-8; older hosts code-page text (1252 in the test
// prefix). Test paths are given in UTF-8 unless they are code-page text.
TEST_F(Reliability, HostTextIsReadAsUtf8WhenWellFormedElseInTheCodePage)
{
    const std::string bjork = "Bj\xC3\xB6rk.bin", nihon = "\xE6\x97\xA5\xE6\x9C\xAC";
    std::string long_name;  // 125 e-acute: 129 bytes in the code page, 254 in UTF-8
    for (int i = 0; i < 125; ++i)
        long_name += "\xC3\xA9";
    long_name += ".bin";
    // U+FF3C, the fullwidth reverse solidus, in names; and files where a
    // best-fit "\" in their place would lead.
    const std::string fw = "\xEF\xBC\xBC";
    const std::string fw_dir = "rel\\fw\xC3\xA9\\x" + fw + ".." + fw + ".." + fw + "y\\f.bin";
    const std::string fw_file = "rel\\fw\xC3\xA9\\.." + fw + "secret.txt";
    const struct { std::string path, content; } files[] = {
        {fw_dir, "fwdir"}, {fw_file, "fwsec"}, {"rel\\y\\f.bin", "fwdir"}, {"rel\\secret.txt", "fwsec"},
        {"rel\\u\\" + bjork, "bjork"},
        {"rel\\u\\" + nihon + "\\x.bin", "nihon"},
        {"rel\\caf\xE9 \xE0\xFF\\d.sfv", "cafe1"},        // a code-page name
        {"rel\\fb\\\xC3\x83\xC2\xB6.bin", "fallb"},       // code-page bytes C3 B6
        {"rel\\\xC3\x83\xC2\xB6" "dir\\f.bin", "fbdir"},    // the same as a folder
        {"rel\\long\\" + long_name, "long1"},
    };
    for (const auto& file : files)
        WriteTestTreeFile(file.path, file.content);
    auto search = [](const std::string& content, const std::string& directory) {
        return std::to_string(content.size()) + "," + Hex8(ReferenceCrc(content)) + "," + directory;
    };
    struct Row { const char* routine; std::string input, expected; const char* why; } rows[] = {
        {"Get32BitCrc", "rel\\u\\" + bjork, Hex8(ReferenceCrc("bjork")), "a file named in UTF-8"},
        {"Get32BitCrc", "rel\\u\\" + nihon + "\\x.bin", Hex8(ReferenceCrc("nihon")),
         "a folder named outside the code page"},
        {"MIRCFindFileSizeCrc", search("bjork", "rel\\u"), "rel\\u\\" + bjork,
         "listed in wide form, answered in UTF-8"},
        {"MIRCFindFileSizeCrc", search("nihon", "rel\\u"), "rel\\u\\" + nihon + "\\x.bin",
         "a folder the code page cannot list"},
        {"MIRCFindFileSizeCrc", search("nihon", "rel\\u\\" + nihon), "rel\\u\\" + nihon + "\\x.bin",
         "a directory text in UTF-8"},
        {"Get32BitCrc", "rel\\u\\Bj\xF6rk.bin", Hex8(ReferenceCrc("bjork")),
         "code-page text of the same file, not UTF-8"},
        {"Get32BitCrc", "rel\\caf\xE9 \xE0\xFF\\d.sfv", Hex8(ReferenceCrc("cafe1")),
         "a code-page name"},
        {"MIRCFindFileSizeCrc", search("cafe1", "rel\\caf\xE9 \xE0\xFF"), "rel\\caf\xE9 \xE0\xFF\\d.sfv",
         "a code-page directory text is answered in the code page"},
        {"MIRCFindFileSizeCrc", search("cafe1", "rel"), "rel\\caf\xC3\xA9 \xC3\xA0\xC3\xBF\\d.sfv",
         "an ASCII directory text is answered in UTF-8"},
        {"Get32BitCrc", "rel\\fb\\\xC3\xB6.bin", Hex8(ReferenceCrc("fallb")),
         "UTF-8 naming nothing is read again in the code page"},
        {"MIRCFindFileSizeCrc", search("fbdir", "rel\\\xC3\xB6" "dir"), "rel\\\xC3\xB6" "dir\\f.bin",
         "a directory listed only through the code page is answered in it"},
        {"MIRCFindFileSizeCrc", search("long1", "rel\\long"), "",
         "a match whose UTF-8 path passes 255 bytes is passed over"},
        {"MIRCFindFileSizeCrc", search("fwdir", "rel\\fw\xC3\xA9"), fw_dir, "U+FF3C is a letter of a folder"},
        {"MIRCFindFileSizeCrc", search("fwsec", "rel\\fw\xC3\xA9"), fw_file, "and of a file"},
        {"MIRCFindFileSizeCrc", search("fwdir", "rel\\fw\xE9"), "", "no best-fit \\ for a code-page host"},
        {"MIRCFindFileSizeCrc", search("fwsec", "rel\\fw\xE9"), "", "nor \\..\\ out of a file's name"},
    };
    for (const Row& row : rows) {
        HostCall call = CallHost(row.routine, row.input);
        ExpectHostForm(call, row.why);
        EXPECT_EQ(call.Text(), row.expected) << row.why;
    }
    // FindFileSizeCrc, for other programs, stays in the code page.
    struct PlainRow { std::string content, directory, expected; } plain_rows[] = {
        {"bjork", "rel\\u", "rel\\u\\Bj\xF6rk.bin"},
        {"long1", "rel\\long", "rel\\long\\" + std::string(125, '\xE9') + ".bin"},
        {"nihon", "rel\\u", ""},
        {"fwdir", "rel\\fw\xE9", ""},
        {"fwsec", "rel\\fw\xE9", ""},
    };
    for (const PlainRow& row : plain_rows) {
        char output[kResultBytes];
        bool balanced = false;
        CallStdcall(Export("FindFileSizeCrc"),
                    {row.content.size(), ReferenceCrc(row.content),
                     reinterpret_cast<uintptr_t>(row.directory.c_str()),
                     reinterpret_cast<uintptr_t>(output)},
                    &balanced);
        EXPECT_TRUE(balanced);
        EXPECT_EQ(std::string(output), row.expected) << row.content;
    }
}

std::string SignalCommand(const char* operation, const std::string& tag, const std::string& answer)
{
    return "/signal tallowix " + std::string(operation) + " " + tag + " " + answer;
}

// A dozen signal calls on worker threads, as $dllcall makes them,
// with a stand-in for mIRC's window: each returns 3 with its answer, and each
// tag's command arrives once, in UTF-16, names with spaces, "$", "%" and
// letters outside the code page intact, code-page text as its characters.
TEST_F(Reliability, SignalRoutinesHandEachTagItsOwnAnswerOnceInUtf16)
{
    const std::string names[] = {"plain.bin", "two  spaces.bin", "$cost 100%.bin",
                                 "Bj\xC3\xB6rk \xE6\x97\xA5\xE6\x9C\xAC.bin"};
    struct Request { const char* routine; std::string data, answer, command; };
    std::vector<Request> requests;
    for (int i = 0; i < 6; ++i) {
        std::string content = RandomBytes(100000 + 777 * i, 300 + i), crc = Hex8(ReferenceCrc(content));
        std::string file = "rel\\sig\\" + std::to_string(i) + " " + names[i % 4];
        std::string dir = "rel\\tree" + std::to_string(i), found = dir + "\\sub\\" + names[i % 4];
        WriteTestTreeFile(file, content);
        WriteTestTreeFile(found, content);
        std::string crc_tag = "c" + std::to_string(i), search_tag = "s$" + std::to_string(i);
        requests.push_back({"SignalGet32BitCrc", crc_tag + " " + file, crc,
                            SignalCommand("Get32BitCrc", crc_tag, crc)});
        std::string line = std::to_string(content.size()) + "," + crc + "," + dir;
        requests.push_back({"SignalFindFileSizeCrc", search_tag + " " + line, found,
                            SignalCommand("MIRCFindFileSizeCrc", search_tag, found)});
    }
    // Code-page pieces reach a Unicode window as their characters: a tag in
    // code page 1252, and the answer of a search whose UTF-8 folder text
    // named nothing and was read again in the code page (bytes C3 B6: "Ã¶").
    requests.push_back({"SignalGet32BitCrc", "caf\xE9 " + requests[0].data.substr(3),
                        requests[0].answer, SignalCommand("Get32BitCrc", "caf\xC3\xA9", requests[0].answer)});
    WriteTestTreeFile("rel\\\xC3\x83\xC2\xB6\\f.bin", "fbdir");
    requests.push_back({"SignalFindFileSizeCrc", "cp 5," + Hex8(ReferenceCrc("fbdir")) + ",rel\\\xC3\xB6",
                        "rel\\\xC3\xB6\\f.bin",
                        SignalCommand("MIRCFindFileSizeCrc", "cp", "rel\\\xC3\x83\xC2\xB6\\f.bin")});
#if defined(_WIN64)
    const size_t kWorkers = requests.size();  // every call at once
#else
    // 32-bit Wine under qemu does not survive many threads talking to its
    // server at once: one worker thread makes the calls in turn.
    const size_t kWorkers = 1;
#endif
    StandInHost host;
    std::vector<HostCall> calls(requests.size());
    std::vector<std::thread> workers;
    for (size_t w = 0; w < kWorkers; ++w)
        workers.emplace_back([&, w] {
            for (size_t i = w; i < requests.size(); i += kWorkers)
                calls[i] = CallHost(requests[i].routine, requests[i].data, kHostBufferBytes,
                                    host.window());
        });
    for (auto& worker : workers)
        worker.join();
    auto commands = host.Commands();
    for (size_t i = 0; i < requests.size(); ++i) {
        ExpectHostForm(calls[i], requests[i].data);
        EXPECT_EQ(calls[i].Text(), requests[i].answer) << requests[i].data;
        size_t arrived = 0;
        for (const auto& command : commands)
            arrived += command.first == requests[i].command && command.second == (1 | 8);
        EXPECT_EQ(arrived, 1u) << requests[i].command;
    }
    EXPECT_EQ(commands.size(), requests.size());
}

// A command that surely did not reach the host comes back in the buffer with
// 2, for the host to run; one that may have reached it never does, so that
// it cannot run twice. The plain routines ignore the window.
TEST_F(Reliability, ASignalNotHandedOverComesBackAsTheCommandAndNeverTwice)
{
    WriteTestFile("rel\\f.bin", "123456789");
    const std::string command = SignalCommand("Get32BitCrc", "t", "cbf43926");
    StandInHost host;
    struct Row { HWND window; bool refuse; const char* why; } rows[] = {
        {nullptr, false, "no window"},
        {reinterpret_cast<HWND>(uintptr_t(0x7FFF0001)), false, "not a window"},
        {host.window(), true, "a window that refuses"},
    };
    for (const Row& row : rows) {
        host.Refuse(row.refuse);
        HostCall call = CallHost("SignalGet32BitCrc", "t rel\\f.bin", kHostBufferBytes, row.window);
        EXPECT_EQ(call.result, 2) << row.why;
        EXPECT_EQ(call.Text(), command) << row.why;
    }
    // Code-page text ("\x80" is one byte, and three in UTF-8): a command that
    // fits the host's 900 bytes in the code page comes back whole.
    const std::string euros(80, '\x80'), euro_tag(85, '\x80');
    const std::string euro_found = "rel\\" + euros + "\\" + euros + "\\" + euros + "\\f.bin";
    WriteTestTreeFile(euro_found, "123456789");
    HostCall euro = CallHost("SignalFindFileSizeCrc", euro_tag + " 9,cbf43926,rel\\" + euros);
    EXPECT_EQ(euro.result, 2);
    EXPECT_EQ(euro.Text(), SignalCommand("MIRCFindFileSizeCrc", euro_tag, euro_found));
    host.Refuse(false);
    EXPECT_EQ(CallHost("Get32BitCrc", "rel\\f.bin", kHostBufferBytes, host.window()).Text(), "cbf43926");
    EXPECT_EQ(CallHost("MIRCFindFileSizeCrc", "9,cbf43926,rel", kHostBufferBytes, host.window()).Text(),
              "rel\\f.bin");
    EXPECT_TRUE(host.Commands().empty()) << "a plain routine or a refused command reached the host";

    // A single-byte window, as mIRC 6's, gets the bytes as they are, without
    // the UTF-16 flag: here a search answered in the code page.
    WriteTestTreeFile("rel\\caf\xE9\\f.bin", "123456789");
    StandInHost single_byte(false);
    EXPECT_EQ(CallHost("SignalFindFileSizeCrc", "t 9,cbf43926,rel\\caf\xE9", kHostBufferBytes,
                       single_byte.window()).result, 3);
    auto taken = single_byte.Commands();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].first, SignalCommand("MIRCFindFileSizeCrc", "t", "rel\\caf\xE9\\f.bin"));
    EXPECT_EQ(taken[0].second, 1u);

    // The host's thread stops answering just before the call: the routine
    // waits out its bound and answers 3, for the host may yet run it. Called
    // again once the thread has not answered for over five seconds (a hung
    // window), it does not send at all and hands the command back.
    constexpr DWORD kSlack = 3000;
    host.StopAnswering(kHostWaitMilliseconds + kSlack);
    auto start = std::chrono::steady_clock::now();  // 32-bit Wine under qemu stops GetTickCount
    HostCall waited = CallHost("SignalGet32BitCrc", "t rel\\f.bin", kHostBufferBytes, host.window());
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(waited.result, 3);
    EXPECT_EQ(waited.Text(), "cbf43926");
    EXPECT_LT(elapsed, kHostWaitMilliseconds + kSlack) << "the wait is bounded";
    HostCall hung = CallHost("SignalGet32BitCrc", "t rel\\f.bin", kHostBufferBytes, host.window());
    EXPECT_EQ(hung.result, 2);
    EXPECT_EQ(hung.Text(), command);
    Sleep(2 * kSlack);  // the thread answers again
    EXPECT_LE(host.Commands().size(), 1u) << "a command arrived twice";
}

// A folder text from a stranger (a bot's "!find") whose " | " or line break
// Windows drops, as ".." steps follow it: the plain routine answers through it
// as before (its text goes to the script), but no signal command carries it,
// through the window or handed back.
TEST_F(Reliability, NoCallerTextSplitsOrEndsASignalCommand)
{
    WriteTestFile("rel\\f.txt", "hello\n");
    const std::string empty = SignalCommand("MIRCFindFileSizeCrc", "t1", "");
    StandInHost host;
    for (const char* bad : {"\\ | /run calc \\..\\..", "\\\r\n/run calc \\..\\.."}) {
        std::string line = "6,363a3020," + CurrentDirectory() + "\\rel" + bad;
        HostCall plain = CallHost("MIRCFindFileSizeCrc", line);
        EXPECT_EQ(plain.Text(), line.substr(11) + "\\f.txt") << "plain answers stay as they were";
        HostCall sent = CallHost("SignalFindFileSizeCrc", "t1 " + line, kHostBufferBytes, host.window());
        EXPECT_EQ(sent.result, 3);
        EXPECT_EQ(sent.Text(), "");
        HostCall back = CallHost("SignalFindFileSizeCrc", "t1 " + line);
        EXPECT_EQ(back.result, 2);
        EXPECT_EQ(back.Text(), empty);
    }
    for (const auto& command : host.Commands())
        EXPECT_EQ(command.first, empty);
}

// A list check through the window: one signal per entry in list order, then
// the summary; a list in the code page arrives in UTF-16 all the same.
TEST_F(Reliability, AnSfvListIsSignalledEntryByEntry)
{
    WriteTestTreeFile("rel\\sfv\\two  spaces.bin", "two");
    WriteTestTreeFile("rel\\sfv\\sub\\Bj\xC3\xB6rk.bin", "bjork");
    std::string two = Hex8(ReferenceCrc("two")), bjork = Hex8(ReferenceCrc("bjork"));
    WriteTestFile("rel\\sfv\\utf8.sfv", "two  spaces.bin " + two + "\r\nsub/Bj\xC3\xB6rk.bin " + bjork +
                                            "\r\nx|y 0\r\n; done\r\n");
    WriteTestFile("rel\\sfv\\cp.sfv", "sub\\Bj\xF6rk.bin " + bjork + "\nmissing.bin 0\n");
    // UTF-16 LE with its mark, as Notepad writes it, and a last line of NULs.
    std::wstring wide = TestPath("two  spaces.bin " + two + "\r\nsub/Bj\xC3\xB6rk.bin " + bjork + "\r\n");
    WriteTestFile("rel\\sfv\\utf16.sfv", "\xFF\xFE" + std::string(reinterpret_cast<const char*>(wide.data()),
                                                                 2 * wide.size()) + std::string(16, '\0'));
    const std::string prefix = "/signal tallowix CheckSfv t ";
    struct Row { const char* list; std::vector<std::string> commands; std::string answer; } rows[] = {
        {"utf8.sfv", {"1/3 OK two  spaces.bin", "2/3 OK sub/Bj\xC3\xB6rk.bin", "3/3 INVALID", "done 2 0 0 0 1"},
         "2 0 0 0 1"},
        {"cp.sfv", {"1/2 OK sub\\Bj\xC3\xB6rk.bin", "2/2 MISSING missing.bin", "done 1 0 1 0 0"}, "1 0 1 0 0"},
        {"utf16.sfv", {"1/2 OK two  spaces.bin", "2/2 OK sub/Bj\xC3\xB6rk.bin", "done 2 0 0 0 0"}, "2 0 0 0 0"},
        {"none.sfv", {"done 0 0 0 0 0 unreadable"}, "0 0 0 0 0 unreadable"},
    };
    for (const Row& row : rows) {
        StandInHost host;
        HostCall call = CallHost("SignalCheckSfv", std::string("t rel\\sfv\\") + row.list, kHostBufferBytes,
                                 host.window());
        EXPECT_EQ(call.result, 3) << row.list;
        EXPECT_EQ(call.Text(), row.answer) << row.list;
        std::vector<std::string> commands;
        for (const auto& command : host.Commands())
            commands.push_back(command.first.substr(0, prefix.size()) == prefix
                                   ? command.first.substr(prefix.size()) : command.first);
        EXPECT_EQ(commands, row.commands) << row.list;
    }
    // A window that stops taking them part-way ends the check: the summary
    // of what it took comes back for the host to run. One told to stop
    // signals that it stopped, in place of the summary.
    StandInHost refusing;
    refusing.OnCommand([&](const std::string&) { refusing.Refuse(true); });
    HostCall refused = CallHost("SignalCheckSfv", "t rel\\sfv\\utf8.sfv", kHostBufferBytes, refusing.window());
    EXPECT_EQ(refused.result, 2);
    EXPECT_EQ(refused.Text(), prefix + "done 1 0 0 0 0 unfinished");
    // So does one told at its last entry, past its last look at the flag.
    for (const std::string at : {"t 1/", "t 3/3"}) {
        StandInHost cancelling;
        cancelling.OnCommand([&](const std::string& command) {
            if (command.find("CheckSfv " + at) != std::string::npos)
                EXPECT_EQ(CallHost("CancelSignal", "t").Text(), "1");
        });
        HostCall cancelled = CallHost("SignalCheckSfv", "t rel\\sfv\\utf8.sfv", kHostBufferBytes, cancelling.window());
        EXPECT_EQ(cancelled.result, 3);
        EXPECT_EQ(cancelled.Text(), "");
        auto taken = cancelling.Commands();
        EXPECT_EQ(taken.size(), at == "t 1/" ? 2u : 4u);
        EXPECT_EQ(taken.back().first, "/signal tallowix Cancelled t CheckSfv") << at;
    }
    // A window that stops answering for longer than the bound gets nothing
    // more, and the entry it may run late is not counted as taken.
    StandInHost stalled;
    stalled.OnCommand([](const std::string&) { Sleep(kHostWaitMilliseconds + 1000); });
    HostCall timed_out = CallHost("SignalCheckSfv", "t rel\\sfv\\utf8.sfv", kHostBufferBytes, stalled.window());
    EXPECT_EQ(timed_out.Text(), prefix + "done 0 0 0 0 0 unfinished");
    stalled.StopAnswering(0);  // returns once the window is back
    EXPECT_EQ(stalled.Commands().size(), 1u);
}

// A command mapping whose name another program holds is left alone: here
// the names the library tries first in 200 milliseconds from a second on,
// when the call is made (32-bit Wine under qemu stops GetTickCount: at once).
TEST_F(Reliability, ACommandMappingNameHeldElsewhereIsLeftAlone)
{
    WriteTestFile("rel\\f.bin", "123456789");
    StandInHost host;
    const DWORD first = GetTickCount() + (sizeof(void*) == 8 ? 1000 : 0), ticks = 200;
    std::vector<HANDLE> held;
    for (DWORD tick = first; tick < first + ticks; ++tick) {
        wchar_t name[16];
        swprintf(name, 16, L"mIRC%lu", ((GetCurrentThreadId() * 0x9E3779B1u) ^ tick) & 0x7FFFFFFFu);
        held.push_back(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, name));
    }
    while (GetTickCount() < first)
        Sleep(1);
    EXPECT_EQ(CallHost("SignalGet32BitCrc", "t rel\\f.bin", kHostBufferBytes, host.window()).result, 3);
    ASSERT_LT(GetTickCount() - first, ticks) << "the call came after the names held";
    EXPECT_EQ(host.Commands().size(), 1u);
    for (HANDLE mapping : held) {
        const char* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
        EXPECT_EQ(view[0], '\0') << "a held mapping was written to";
        UnmapViewOfFile(view);
        CloseHandle(mapping);
    }
}

// Code page 932, as a Japanese Windows has (CTest's cp932 run): a second
// byte of 0x5C or 0x7C is no "\" or "|", and bytes that are no character
// (81 0A) name nothing, so their line break reaches no command. Hosts: one
// that gave no LoadDll and sends text that is not UTF-8, and mIRC 6.35.
TEST_F(Reliability, Cp932TextIsReadByCharacterNotByByte)
{
    if (GetACP() != 932) {
        if (getenv("TALLOWIX_WINE_LOCALE") != nullptr)
            FAIL() << "the Japanese locale gave code page " << GetACP();
        GTEST_SKIP() << "code page " << GetACP() << "; CTest's cp932 run has 932";
    }
    const std::string hyo = "\x95\x5C", so = "\x83\x5C";  // 表 and ソ
    WriteTestTreeFile("rel\\\xE8\xA1\xA8\\\xE3\x82\xBD\\f.bin", "123456789");
    WriteTestFile("rel\\f.bin", "123456789");
    const std::string found = "rel\\" + hyo + "\\" + so + "\\f.bin";
    std::vector<HMODULE> hosts = {Dll()};
#if !defined(_WIN64)
    hosts.push_back(LoadAsHost(L"rel\\mirc635.dll", 6 | (35 << 16)));
    ASSERT_NE(hosts.back(), nullptr);
#endif
    struct Row { const char* routine; std::string data, answer, command; } rows[] = {
        {"MIRCFindFileSizeCrc", "9,cbf43926,rel\\" + hyo, found, ""},
        {"MIRCFindFileSizeCrc", "9,cbf43926,rel\\" + hyo + "\\" + so, found, ""},
        {"SignalFindFileSizeCrc", "t 9,cbf43926,rel\\\x81\x0A\\..", "", SignalCommand("MIRCFindFileSizeCrc", "t", "")},
        {"SignalGet32BitCrc", "t rel\\\x81\x0A\\..\\f.bin", "ffffffff", SignalCommand("Get32BitCrc", "t", "ffffffff")},
        {"SignalGet32BitCrc", "\x83\x7C rel\\f.bin", "cbf43926", SignalCommand("Get32BitCrc", "\xE3\x83\x9D", "cbf43926")},
    };
    StandInHost window;
    for (HMODULE host : hosts)
        for (const Row& row : rows) {
            HostCall call = CallHostIn(host, row.routine, row.data, kHostBufferBytes, window.window());
            EXPECT_EQ(call.result, 3) << row.data;
            EXPECT_EQ(call.Text(), row.answer) << row.data;
            auto taken = window.Commands(true);
            EXPECT_EQ(taken.size(), row.command.empty() ? 0u : 1u) << row.data;
            if (!taken.empty())
                EXPECT_EQ(taken[0].first, row.command) << row.data;
        }
    char output[kResultBytes];
    bool balanced = false;
    std::string directory = "rel\\" + hyo;
    EXPECT_EQ(CallStdcall(Export("FindFileSizeCrc"), {9, 0xCBF43926u, reinterpret_cast<uintptr_t>(directory.c_str()),
                                                      reinterpret_cast<uintptr_t>(output)}, &balanced), 1u);
    EXPECT_EQ(std::string(output), found);
#if !defined(_WIN64)
    FreeHost(hosts.back());
#endif
}

// Paths past MAX_PATH, and a folder of 85 Japanese characters (255 bytes of
// UTF-8, the most a Linux name holds: Wine cuts longer ones): answered whole
// to a host whose buffer holds them (7.64 with mBytes 20480: 10,240 bytes),
// never cut for one that gave no LoadDll (256 bytes) nor by FindFileSizeCrc.
TEST_F(Reliability, LongPathsAreAnsweredWholeOrNotAtAll)
{
    auto deep = [](std::string path, size_t length) {
        while (path.size() + 101 < length)
            path += "\\" + std::string(100, char('a' + path.size() % 26));
        return path + "\\" + std::string(length - path.size() - 1, 'f');
    };
    std::string nihon;
    for (int i = 0; i < 85; ++i)
        nihon += "\xE6\x97\xA5";
    struct Row { std::string start, path, content; } rows[] = {
        {"rel\\p300", deep("rel\\p300", 300), "p300"},
        {"rel\\p1000", deep("rel\\p1000", 1000), "p1000"},
        {"rel\\ja", "rel\\ja\\" + nihon + "\\f.bin", "nihon"},
    };
    HMODULE host = LoadAsHost(L"rel\\mirc764.dll", 7 | (64 << 16), 20480);
    ASSERT_NE(host, nullptr);
    StandInHost window;
    for (const Row& row : rows) {
        WriteTestTreeFile(row.path, row.content);
        std::string crc = Hex8(ReferenceCrc(row.content));
        std::string line = std::to_string(row.content.size()) + "," + crc + "," + row.start;
        EXPECT_EQ(CallHost("Get32BitCrc", row.path).Text(), crc) << row.path.size();
        EXPECT_EQ(CallHostIn(host, "MIRCFindFileSizeCrc", line).Text(), row.path) << row.path.size();
        EXPECT_EQ(CallHost("MIRCFindFileSizeCrc", line).Text(), "") << row.path.size();
        HostCall signal = CallHostIn(host, "SignalFindFileSizeCrc", "s " + line, kHostBufferBytes, window.window());
        EXPECT_EQ(signal.Text(), row.path) << row.path.size();
        auto taken = window.Commands(true);
        ASSERT_EQ(taken.size(), 1u);
        EXPECT_EQ(taken[0].first, SignalCommand("MIRCFindFileSizeCrc", "s", row.path));
        char output[kResultBytes];
        bool balanced = false;
        EXPECT_EQ(CallStdcall(Export("FindFileSizeCrc"),
                              {row.content.size(), ReferenceCrc(row.content),
                               reinterpret_cast<uintptr_t>(row.start.c_str()), reinterpret_cast<uintptr_t>(output)},
                              &balanced), 0u) << row.path.size();
    }
    // Short as spelled, past MAX_PATH once completed against the current folder.
    WriteTestTreeFile(deep("rel\\p240", 240), "p240");
    EXPECT_EQ(CallHost("Get32BitCrc", deep("rel\\p240", 240)).Text(), Hex8(ReferenceCrc("p240")));
    FreeHost(host);
}

// A list is made of what could be read, or not at all: a window that
// refuses part-way leaves the old list and no temporary file beside it. The
// name check reads the CRC a name carries.
TEST_F(Reliability, AListIsMadeWholeOrNotAtAll)
{
    WriteTestTreeFile("rel\\make\\a [8CDC1683].txt", "x");
    WriteTestTreeFile("rel\\make\\locked.bin", "y");
    WriteTestFile("rel\\make\\list.sfv", "old");
    HANDLE locked = CreateFileA("rel\\make\\locked.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    auto read = [](const char* path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    StandInHost refusing;
    refusing.OnCommand([&](const std::string&) { refusing.Refuse(true); });
    HostCall refused = CallHost("SignalMakeSfv", "m rel\\make\\list.sfv", kHostBufferBytes,
                                refusing.window());
    EXPECT_EQ(refused.Text(), "/signal tallowix MakeSfv m done 1 0 unfinished");
    EXPECT_EQ(read("rel\\make\\list.sfv"), "old");
    EXPECT_EQ(GetFileAttributesA("rel\\make\\list.sfv.1.tmp"), INVALID_FILE_ATTRIBUTES);

    const std::string prefix = "/signal tallowix ";
    struct Row { const char* routine; const char* data; std::vector<std::string> commands; } rows[] = {
        {"SignalMakeSfv", "m rel\\make\\list.sfv",
         {"MakeSfv m 1/2 8CDC1683 a [8CDC1683].txt", "MakeSfv m 2/2 UNREADABLE locked.bin",
          "MakeSfv m done 1 1"}},
        {"SignalCheckNameCrc", "n rel\\make",
         {"CheckNameCrc n 1/1 OK a [8CDC1683].txt", "CheckNameCrc n done 1 0 0 0"}},
        {"SignalCheckNameCrc", "n rel\\make\\locked.bin",
         {"CheckNameCrc n 1/1 NONE locked.bin", "CheckNameCrc n done 0 0 0 1"}},
    };
    for (const Row& row : rows) {
        StandInHost host;
        CallHost(row.routine, row.data, kHostBufferBytes, host.window());
        std::vector<std::string> commands;
        for (const auto& command : host.Commands())
            commands.push_back(command.first.substr(prefix.size()));
        EXPECT_EQ(commands, row.commands) << row.data;
    }
    CloseHandle(locked);
    std::string made = read("rel\\make\\list.sfv");
    EXPECT_EQ(made.substr(0, 27), "; Generated by tallowix on ");
    EXPECT_EQ(made.substr(made.find("\r\n") + 2), "a [8CDC1683].txt 8CDC1683\r\n");
}

#if !defined(_WIN64)
// A copy of the DLL under another name is a module of its own, with its
// own host: here one that says it is mIRC 6.35 (a 32-bit program), passing
// LoadDll only the three fields of its day, right before a page that cannot
// be read.
TEST_F(Reliability, AMirc6HostIsReadAndAnsweredInTheCodePage)
{
    std::wstring dll(MAX_PATH, L'\0');
    dll.resize(GetModuleFileNameW(Dll(), &dll[0], MAX_PATH));
    ASSERT_TRUE(CopyFileW(dll.c_str(), L"rel\\mirc6.dll", FALSE));
    HMODULE mirc6 = LoadLibraryW(L"rel\\mirc6.dll");
    ASSERT_NE(mirc6, nullptr);
    struct OldLoadInfo { DWORD mVersion; HWND mHwnd; BOOL mKeep; };
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    auto* pages = static_cast<char*>(VirtualAlloc(nullptr, 2 * system.dwPageSize, MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(pages + system.dwPageSize, system.dwPageSize, PAGE_NOACCESS, &old);
    auto* info = reinterpret_cast<OldLoadInfo*>(pages + system.dwPageSize - sizeof(OldLoadInfo));
    *info = {6 | (35 << 16), nullptr, TRUE};
    bool balanced = false;
    CallStdcall(GetProcAddress(mirc6, "LoadDll"), {reinterpret_cast<uintptr_t>(info)}, &balanced);
    EXPECT_TRUE(balanced);
    EXPECT_TRUE(info->mKeep);
    WriteTestTreeFile("rel\\m6\\caf\xC3\xA9.bin", "123456789");
    struct Row { std::string input, expected; const char* why; } rows[] = {
        {"9,cbf43926,rel\\m6", "rel\\m6\\caf\xE9.bin", "an ASCII folder is answered in the code page"},
        {"9,cbf43926,rel\\caf\xC3\xA9", "", "UTF-8 bytes are code-page text to mIRC 6"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(CallHostIn(mirc6, "MIRCFindFileSizeCrc", row.input).Text(), row.expected) << row.why;
    EXPECT_EQ(CallStdcall(GetProcAddress(mirc6, "UnloadDll"), {0}, &balanced), 1u);
    FreeLibrary(mirc6);
    EXPECT_TRUE(DeleteFileW(L"rel\\mirc6.dll")) << "used on one thread, so unloaded for real";
    VirtualFree(pages, 0, MEM_RELEASE);
}
#endif

#if defined(_WIN64)
// Hosts call from several threads at once, here more than the pool has read
// buffers, so that some wait for one; each answer must be its own file's
// (contents of several read chunks) and the search's.
TEST_F(Reliability, MoreThreadsThanReadBuffersGetTheSingleThreadedAnswers)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 10;
    std::string files[kThreads], crcs[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        std::string content = RandomBytes(1300000 + 999 * t, 100 + t);
        files[t] = "rel\\big" + std::to_string(t);
        WriteTestFile(files[t], content);
        crcs[t] = Hex8(ReferenceCrc(content));
    }
    for (int i = 0; i < 30; ++i)
        WriteTestTreeFile("rel\\tree\\f" + std::to_string(i), std::string(500, char(i)));
    WriteTestTreeFile("rel\\tree\\deep\\needle", std::string(500, 'n'));
    std::string line = "500," + Hex8(ReferenceCrc(std::string(500, 'n'))) + ",rel\\tree";

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                wrong += CallHost("Get32BitCrc", files[t]).Text() != crcs[t];
                wrong += CallHost("MIRCFindFileSizeCrc", line).Text() != "rel\\tree\\deep\\needle";
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0) << kThreads << " threads x " << kRounds << " rounds";
}

// Committed private memory of the process, summed over its address space
// (Wine leaves GetProcessMemoryInfo's PrivateUsage at 0).
size_t PrivateBytes()
{
    size_t total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const char* p = nullptr; VirtualQuery(p, &info, sizeof info) == sizeof info;
         p = static_cast<const char*>(info.BaseAddress) + info.RegionSize)
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
            total += info.RegionSize;
    return total;
}

// The handles this process holds, from the system's handle list: Wine 8
// answers GetProcessHandleCount with 0. The list's buffer is given back whole,
// so that it cannot show as private memory grown.
size_t OpenHandles()
{
    struct Entry {
        USHORT process, trace;
        UCHAR type, attributes;
        USHORT value;
        void* object;
        ULONG access;
    };
    struct List {
        ULONG count;
        Entry entries[1];
    };
    constexpr int kSystemHandleInformation = 16;
    constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
    using Query = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<Query>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation"));
    LONG status = kLengthMismatch;
    size_t mine = 0;
    for (ULONG bytes = 1 << 16; status == kLengthMismatch; bytes *= 2) {
        auto* list = static_cast<List*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE));
        ULONG needed = 0;
        status = query(kSystemHandleInformation, list, bytes, &needed);
        for (ULONG i = 0; status == 0 && i < list->count; ++i)
            mine += list->entries[i].process == static_cast<USHORT>(GetCurrentProcessId());
        VirtualFree(list, 0, MEM_RELEASE);
    }
    return mine;
}

// Ten thousand rounds of calls to each routine, answering and failing (every
// path out of a routine must give back what it took), a signal to a stand-in
// host, a search through directory links, and every hundred rounds a copy of
// the DLL loaded, used and unloaded (its own read-buffer wait made and given
// back); then every file and directory they touched can be deleted (a handle
// left open would refuse it), the process holds no more handles than after
// the first thousand rounds, and no more private memory than then.
TEST_F(Reliability, SoakLeavesNoHandleOpenAndNoMemoryGrowing)
{
    constexpr int kRounds = 10000;
    constexpr int kWarmUp = 1000;
    constexpr int kLoadEvery = 100;  // a load takes milliseconds
    constexpr int kSparseEvery = 4;
    constexpr size_t kAllowedGrowth = 64 * 1024;
    constexpr size_t kOverLongKey = 231;  // one more than the longest key that fits
    ASSERT_NE(GetFileAttributesA("links\\soak\\d\\up"), INVALID_FILE_ATTRIBUTES)
        << "the links are made by link_trees.sh; run the suite through CTest";
    const char* const files[] = {"rel\\soak\\a.bin", "rel\\soak\\sub\\b.bin", "rel\\soak\\sub\\c.bin",
                                 "links\\soak\\e\\f.bin"};
    for (const char* file : files)
        WriteTestTreeFile(file, file == files[1] ? "12345678" : "123456789");
    wchar_t dll_path[MAX_PATH];
    GetModuleFileNameW(Dll(), dll_path, MAX_PATH);
    const wchar_t* const copy = L"rel\\copy.dll";  // another name: loaded afresh, not counted up
    ASSERT_TRUE(CopyFileW(dll_path, copy, FALSE)) << GetLastError();
    StandInHost host;
    const struct {
        const char* routine;
        std::string input, expected;
        HWND window = nullptr;
        bool sparse = false;  // made every kSparseEvery rounds: each costs Wine's server many trips
    } calls[] = {
        {"Get32BitCrc", files[0], "cbf43926"},
        {"Get32BitCrc", "rel\\soak\\missing.bin", "ffffffff"},
        {"GetDllVersion", "FileVersion", "1.01"},
        {"GetDllVersion", "NoSuchKey", "?"},
        {"GetDllVersion", std::string(kOverLongKey, 'k'), "?"},
        {"MIRCFindFileSizeCrc", "9,cbf43926,rel\\soak\\sub", files[2]},
        {"MIRCFindFileSizeCrc", "9,12345678,rel\\soak", ""},
        // up is passed over, side followed: both read directory identities.
        {"MIRCFindFileSizeCrc", "9,cbf43926,links\\soak\\d", "links\\soak\\d\\side\\f.bin", nullptr, true},
        {"SignalGet32BitCrc", std::string("t ") + files[0], "cbf43926", host.window(), true},
    };
    char out[kResultBytes];
    bool balanced = false;
    size_t after_warm_up = 0;
    size_t handles_after_warm_up = 0;
    for (int i = 1; i <= kRounds; ++i) {
        bool sparse_round = i % kSparseEvery == 0;
        for (const auto& call : calls)
            if (!call.sparse || sparse_round)
                ASSERT_EQ(CallHost(call.routine, call.input, kHostBufferBytes, call.window).Text(),
                          call.expected) << call.input << ", round " << i;
        ASSERT_EQ(host.Commands(true).size(), sparse_round ? 1u : 0u);
        ASSERT_EQ(CallStdcall(Export("FindFileSizeCrc"),
                              {8, 0x12345678u, reinterpret_cast<uintptr_t>("rel\\soak"),
                               reinterpret_cast<uintptr_t>(out)},
                              &balanced),
                  0u);
        if (i % kLoadEvery == 0) {
            HMODULE loaded = LoadLibraryW(copy);
            ASSERT_NE(loaded, nullptr) << GetLastError();
            char buffer[kHostBufferBytes] = "rel\\soak\\a.bin";
            CallStdcall(GetProcAddress(loaded, "Get32BitCrc"),
                        {0, 0, reinterpret_cast<uintptr_t>(buffer), 0, 0, 1}, &balanced);
            EXPECT_STREQ(buffer, "cbf43926");
            ASSERT_TRUE(FreeLibrary(loaded));
        }
        if (i == kWarmUp) {
            after_warm_up = PrivateBytes();
            handles_after_warm_up = OpenHandles();
        }
    }
    size_t at_end = PrivateBytes();
    size_t handles_at_end = OpenHandles();
    RecordProperty("private_bytes_after_warm_up", std::to_string(after_warm_up));
    RecordProperty("private_bytes_at_end", std::to_string(at_end));
    printf("soak: %d rounds of calls; private bytes %zu after %d, %zu at the end; handles %zu, %zu\n",
           kRounds, after_warm_up, kWarmUp, at_end, handles_after_warm_up, handles_at_end);
    EXPECT_LE(at_end, after_warm_up + kAllowedGrowth);
    EXPECT_GT(handles_after_warm_up, 0u);
    EXPECT_LE(handles_at_end, handles_after_warm_up);
    EXPECT_TRUE(DeleteFileW(copy)) << "the copy is still loaded: error " << GetLastError();

    for (const char* file : files)
        EXPECT_TRUE(DeleteFileA(file)) << file << " error " << GetLastError();
    for (const char* dir : {"rel\\soak\\sub", "rel\\soak"})
        EXPECT_TRUE(RemoveDirectoryA(dir)) << dir << " error " << GetLastError();
}

// A background CRC of a pipe fed slowly, as a large file read from a slow
// disk: it can be watched while it runs, keeps the library from the
// ten-minute unload, and stops within a chunk when told.
class SlowPipe {
public:
    explicit SlowPipe(const wchar_t* name)
        : pipe_(CreateNamedPipeW(name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536,
                                 65536, 0, nullptr)) {}
    ~SlowPipe() { CloseHandle(pipe_); }
    // Feeds 64 KiB; the first feed waits for the reader.
    void Feed()
    {
        if (!connected_)
            connected_ = ConnectNamedPipe(pipe_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        std::string chunk(65536, char('a' + fed_ % 26));
        DWORD written = 0;
        WriteFile(pipe_, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr);
        crc_ = ReferenceCrcUpdate(crc_, chunk.data(), written);
        ++fed_;
        Sleep(20);
    }
    void Close() { CloseHandle(pipe_); pipe_ = INVALID_HANDLE_VALUE; }
    std::string Crc() const { return Hex8(~crc_); }

private:
    HANDLE pipe_;
    bool connected_ = false;
    int fed_ = 0;
    uint32_t crc_ = 0xFFFFFFFFu;
};

uintptr_t Unload(HMODULE module, int timeout)
{
    bool balanced;
    return CallStdcall(GetProcAddress(module, "UnloadDll"), {uintptr_t(timeout)}, &balanced);
}

TEST_F(Reliability, ABackgroundCrcIsWatchedKeptLoadedAndCancelled)
{
    SlowPipe pipe(L"\\\\.\\pipe\\tallowix-watched");
    StandInHost host;
    HostCall call;
    std::thread worker([&] {
        call = CallHost("SignalGet32BitCrc", "slow \\\\.\\pipe\\tallowix-watched", kHostBufferBytes, host.window());
    });
    pipe.Feed();
    pipe.Feed();
    std::string early = CallHost("GetSignalProgress", "slow").Text();
    pipe.Feed();
    pipe.Feed();
    std::string later = CallHost("GetSignalProgress", "slow").Text();
    EXPECT_EQ(early.substr(0, 12), "Get32BitCrc ");
    EXPECT_LT(std::stoull(early.substr(12)), std::stoull(later.substr(12))) << early << " / " << later;
    EXPECT_EQ(Unload(Dll(), 1), 0u) << "no ten-minute unload while a call runs";
    EXPECT_EQ(CallHost("CancelSignal", "slow").Text(), "1");
    pipe.Feed();  // the read that is waiting ends, and the call sees it was told
    worker.join();
    EXPECT_EQ(call.result, 3);
    EXPECT_EQ(call.Text(), "");
    auto taken = host.Commands();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].first, "/signal tallowix Cancelled slow Get32BitCrc");
    EXPECT_EQ(CallHost("GetSignalProgress", "slow").Text(), "");
    EXPECT_EQ(CallHost("CancelSignal", "slow").Text(), "0");
}

// /dll -u and FreeLibrary while a copy of the DLL still reads: the call goes
// on in a module that stays mapped, its answer arrives, and the DLL loads
// again afterwards.
TEST_F(Reliability, UnloadingWhileACallRunsLeavesItToFinish)
{
    std::wstring dll(MAX_PATH, L'\0');
    dll.resize(GetModuleFileNameW(Dll(), &dll[0], MAX_PATH));
    ASSERT_TRUE(CopyFileW(dll.c_str(), L"unloaded.dll", FALSE) || GetFileAttributesW(L"unloaded.dll") != INVALID_FILE_ATTRIBUTES);
    HMODULE copy = LoadLibraryW(L"unloaded.dll");
    ASSERT_NE(copy, nullptr);
    SlowPipe pipe(L"\\\\.\\pipe\\tallowix-unloaded");
    StandInHost host;
    HostCall call;
    std::thread worker([&] {
        call = CallHostIn(copy, "SignalGet32BitCrc", "u \\\\.\\pipe\\tallowix-unloaded", kHostBufferBytes,
                          host.window());
    });
    pipe.Feed();
    EXPECT_EQ(Unload(copy, 0), 1u);
    EXPECT_TRUE(FreeLibrary(copy));
    EXPECT_FALSE(DeleteFileW(L"unloaded.dll")) << "the module was kept";
    pipe.Feed();
    pipe.Close();
    worker.join();
    EXPECT_EQ(call.result, 3);
    auto taken = host.Commands();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(call.Text(), pipe.Crc());
    EXPECT_EQ(taken[0].first, SignalCommand("Get32BitCrc", "u", pipe.Crc()));
    WriteTestFile("rel\\f.bin", "123456789");
    HMODULE again = LoadLibraryW(L"unloaded.dll");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(CallHostIn(again, "Get32BitCrc", "rel\\f.bin").Text(), "cbf43926");
    FreeLibrary(again);
}

// /dll -u once every call is out of the library: a copy used on its own
// thread, or by a thread that has ended, is unloaded for real (its file can
// be deleted); while a thread that made a call lives, it is kept.
TEST_F(Reliability, UnloadingAfterTheCallsEndedFreesTheFile)
{
    std::wstring dll(MAX_PATH, L'\0');
    dll.resize(GetModuleFileNameW(Dll(), &dll[0], MAX_PATH));
    WriteTestFile("rel\\f.bin", "123456789");
    struct Row { const wchar_t* copy; bool elsewhere, ended; } rows[] = {
        {L"rel\\own.dll", false, true}, {L"rel\\ended.dll", true, true}, {L"alive.dll", true, false}};
    for (const Row& row : rows) {
        ASSERT_TRUE(CopyFileW(dll.c_str(), row.copy, FALSE));
        HMODULE copy = LoadLibraryW(row.copy);
        auto call = [copy] { EXPECT_EQ(CallHostIn(copy, "Get32BitCrc", "rel\\f.bin").Text(), "cbf43926"); };
        std::atomic<bool> called{false}, end{row.ended};
        std::thread worker([&] {
            if (row.elsewhere)
                call();
            for (called = true; !end;)
                Sleep(1);
        });
        if (!row.elsewhere)
            call();
        while (!called)
            Sleep(1);
        if (row.ended)
            worker.join();
        EXPECT_EQ(Unload(copy, 0), 1u);
        EXPECT_TRUE(FreeLibrary(copy));
        EXPECT_EQ(DeleteFileW(row.copy) != 0, row.ended) << row.elsewhere << row.ended;
        end = true;
        if (worker.joinable())
            worker.join();
    }
}

// How far the running call of `tag` has come (bytes read or entries looked
// at); -1 when none runs.
int64_t Progress(const std::string& tag)
{
    std::string progress = CallHost("GetSignalProgress", tag).Text();
    return progress.empty() ? -1 : std::stoll(progress.substr(progress.find(' ') + 1));
}

// Four callers reading pipes hold every read buffer; four more wait asleep
// (their threads use next to no CPU), and as buffers are released two at a
// time, two waiters start reading, no more, and each answers its own pipe.
TEST_F(Reliability, CallersBeyondTheReadBuffersSleepAndNeverShareOne)
{
    constexpr int kCallers = 2 * kReadBufferCount;
    std::unique_ptr<SlowPipe> pipes[kCallers];
    std::thread callers[kCallers];
    std::string answers[kCallers];
    DWORD cpu[kCallers] = {};  // in 100 ns
    auto reading = [] {
        int n = 0;
        for (int i = kReadBufferCount; i < kCallers; ++i)
            n += Progress("p" + std::to_string(i)) > 0;
        return n;
    };
    for (int i = 0; i < kCallers; ++i) {
        std::string name = "\\\\.\\pipe\\tallowix-pool" + std::to_string(i);
        pipes[i].reset(new SlowPipe(std::wstring(name.begin(), name.end()).c_str()));
        callers[i] = std::thread([&, i, name] {
            auto cpu_now = [] {
                FILETIME t[4];
                GetThreadTimes(GetCurrentThread(), &t[0], &t[1], &t[2], &t[3]);
                return DWORD(t[2].dwLowDateTime + t[3].dwLowDateTime);
            };
            DWORD before = cpu_now();
            answers[i] = CallHost("SignalGet32BitCrc", "p" + std::to_string(i) + " " + name).Text();
            cpu[i] = cpu_now() - before;
        });
        for (pipes[i]->Feed(); i < kReadBufferCount && Progress("p" + std::to_string(i)) <= 0;)
            Sleep(1);
    }
    Sleep(1000);
    EXPECT_EQ(reading(), 0);
    for (int released = 2; released <= kReadBufferCount; released += 2) {
        pipes[released - 2]->Close();
        pipes[released - 1]->Close();
        while (reading() < released)
            Sleep(1);
        Sleep(200);
        EXPECT_EQ(reading(), released);
    }
    for (int i = 0; i < kCallers; ++i) {
        pipes[i]->Close();
        callers[i].join();
        EXPECT_NE(answers[i].find(pipes[i]->Crc()), std::string::npos) << answers[i];
        EXPECT_LT(cpu[i] / 10000, 50u) << "ms of CPU: caller " << i << " spun while it waited a second";
    }
}

// A background search of a large tree, and five CRCs of a large file in a
// row, each told to stop once under way: it stops within an entry or a
// chunk, signals Cancelled, and leaves the read buffers and the file free.
TEST_F(Reliability, CancelledCallsStopSoonAndGiveBackWhatTheyHeld)
{
    MakeTestDir("rel\\big");
    for (int i = 0; i < 400; ++i)  // 20 folders, each holding 19
        MakeTestDir("rel\\big\\" + std::to_string(i / 20) + (i % 20 ? "\\" + std::to_string(i % 20) : ""));
    HANDLE file = CreateFileW(L"rel\\sparse", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    SetFilePointer(file, 1 << 30, nullptr, FILE_BEGIN);  // 1 GiB, sparse
    SetEndOfFile(file);
    CloseHandle(file);
    struct Row { const char* routine; std::string tag, argument, operation; int64_t most_after_cancel; };
    const Row search = {"SignalFindFileSizeCrc", "s", "1,0,rel\\big", "MIRCFindFileSizeCrc", 2},
              crc = {"SignalGet32BitCrc", "c", "rel\\sparse", "Get32BitCrc", kReadChunkBytes};
    for (const Row& row : {search, crc, crc, crc, crc, crc}) {
        auto call = std::make_shared<HostCall>();
        std::thread worker([call, row] { *call = CallHost(row.routine, row.tag + " " + row.argument); });
        for (int wait = 0; wait < 10000 && Progress(row.tag) <= 0; ++wait)
            Sleep(1);
        if (Progress(row.tag) <= 0) {
            worker.detach();  // stuck, as a caller that finds no buffer free
            FAIL() << row.routine << " never got under way";
        }
        EXPECT_EQ(CallHost("CancelSignal", row.tag).Text(), "1");
        int64_t at_cancel = Progress(row.tag), last = at_cancel;
        for (int64_t now; (now = Progress(row.tag)) >= 0;)
            last = now;
        worker.join();
        EXPECT_LE(last - at_cancel, row.most_after_cancel) << row.routine << " went on after it was told";
        EXPECT_EQ(call->Text(), "/signal tallowix Cancelled " + row.tag + " " + row.operation);
    }
    WriteTestFile("rel\\f.bin", "123456789");
    EXPECT_EQ(CallHost("Get32BitCrc", "rel\\f.bin").Text(), "cbf43926");
    EXPECT_TRUE(DeleteFileW(L"rel\\sparse")) << GetLastError();
}
#endif

}  // namespace
