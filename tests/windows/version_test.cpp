// GetDllVersion called through the DLL as a host calls it, and the lookup
// rules that the library's own resource cannot show, checked by calling
// QueryVersionString from the core library on small resource-only DLLs.
#include "harness.h"

#include "version/version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

const struct { const char* key; const char* value; } kOwnStrings[] = {
    {"CompanyName", "The tallowix developers"},
    {"FileDescription",
     "File CRC-32 checksums, search for a file by size and CRC-32, and version strings"},
    {"FileVersion", "1.01"},
    {"InternalName", "tallowix"},
    {"LegalCopyright", "Copyright (C) 2026 The tallowix developers"},
    {"OriginalFilename", "tallowix.dll"},  // shorter than its key
    {"ProductName", "tallowix"},           // shorter than its key
    {"ProductVersion", "1.01"},
};

TEST(GetDllVersion, AnswersEachStringOfItsResourceOverTheKeyWithItsTerminator)
{
    for (const auto& row : kOwnStrings) {
        HostCall call = CallHost("GetDllVersion", row.key);
        ExpectHostForm(call, row.key);
        EXPECT_EQ(call.Text(), row.value) << row.key;
        EXPECT_TRUE(call.UnchangedFrom(strlen(row.value) + 1))
            << row.key << ": written behind the answer's terminator";
    }
}

const struct { std::string key; const char* why; } kMissingKeys[] = {
    {"Comments", "a common key that this table lacks"},
    {"FileVersio", "a key cut short"},
    {"FileVersion2", "a key with more behind it"},
    {"Translation", "a key of the translation list, not of the string table"},
    {"", "the empty key: the lookup path ends in a backslash"},
    {std::string(kMaxVersionKeyLength, 'K'), "the longest key that fits the lookup path"},
    {std::string(kMaxVersionKeyLength + 1, 'K'), "one character past the bound"},
    {std::string(255, 'K'), "a key as long as a whole path"},
    {std::string(kHostBufferBytes - 1, 'K'), "a key that fills the host's whole buffer"},
};

TEST(GetDllVersion, AnswersQuestionMarkInTheFirstTwoBytesForAnyOtherKey)
{
    for (const auto& row : kMissingKeys) {
        HostCall call = CallHost("GetDllVersion", row.key);
        ExpectHostForm(call, row.why);
        EXPECT_EQ(call.Text(), "?") << row.why;
        EXPECT_TRUE(call.UnchangedFrom(2)) << row.why << ": more than two bytes written";
    }
}

struct Lookup {
    int found = 0;
    std::string text;
    bool untouched = false;  // no byte of the output was written (text stays empty)
    bool bounded = false;    // no byte past the capacity was written
};

Lookup Query(HMODULE module, const std::string& key)
{
    char out[kVersionAnswerCapacity + 16];
    memset(out, kGuardByte, sizeof out);
    Lookup lookup;
    lookup.found = QueryVersionString(module, key.c_str(), out, kVersionAnswerCapacity);
    auto guarded = [&](size_t from) {
        return std::all_of(out + from, std::end(out), [](char c) { return c == kGuardByte; });
    };
    lookup.untouched = guarded(0);
    lookup.bounded = guarded(kVersionAnswerCapacity);
    if (!lookup.untouched)
        lookup.text.assign(out, strnlen(out, sizeof out));
    return lookup;
}

// "0123456789" repeated to `length` characters, as the values fixture holds.
std::string Digits(size_t length)
{
    std::string text;
    while (text.size() < length)
        text += "0123456789";
    return text.substr(0, length);
}

// Fixture DLLs are loaded by name from the suite's own directory.
TEST(QueryVersionString, AnswersFromTheRightTableCutToTheCapacityWithTheKeyBounded)
{
    const std::string refused;  // found nothing and wrote nothing
    struct Row { const char* fixture; std::string key, answer; const char* why; } rows[] = {
        {"version_values.dll", "Length98", Digits(98), "shorter than the answer's room"},
        {"version_values.dll", "Length99", Digits(99), "exactly the 99 characters it holds"},
        {"version_values.dll", "Length100", Digits(99), "one character too long: cut to 99"},
        {"version_values.dll", "Length300", Digits(99), "far too long: cut to 99"},
        {"version_values.dll", std::string(kMaxVersionKeyLength, 'K'), "key of 230 characters",
         "the longest key is looked up"},
        {"version_values.dll", std::string(kMaxVersionKeyLength + 1, 'K'), refused,
         "the table holds this key too, but its lookup path would not fit"},
        {"version_pairs.dll", "Table", "first pair", "only the first translation pair's table"},
        {"version_untranslated.dll", "Table", "040904E4", "no translation list: 040904E4"},
    };
    for (const Row& row : rows) {
        HMODULE module = LoadLibraryA(row.fixture);
        ASSERT_NE(module, nullptr) << row.fixture;
        Lookup lookup = Query(module, row.key);
        EXPECT_EQ(lookup.found, row.answer.empty() ? 0 : 1) << row.why;
        EXPECT_EQ(lookup.text, row.answer) << row.why;
        EXPECT_TRUE(row.answer.empty() ? lookup.untouched : lookup.bounded) << row.why;
        FreeLibrary(module);
    }
}

TEST(QueryVersionString, WritesNothingForAHandleThatNamesNoModule)
{
    int not_a_module = 0;
    Lookup lookup = Query(reinterpret_cast<HMODULE>(&not_a_module), "Table");
    EXPECT_EQ(lookup.found, 0);
    EXPECT_TRUE(lookup.untouched);
}

// Copies a fixture to `path`.
void CopyFixture(const char* fixture, const std::string& path)
{
    std::wstring source = TestPath(CurrentDirectory() + "\\" + fixture);
    EXPECT_TRUE(CopyFileW(source.c_str(), TestPath(path).c_str(), FALSE)) << path;
}

TEST(QueryVersionString, ReadsAModuleWhosePathFills259CharactersAndNoLonger)
{
    std::string directory = CurrentDirectory() + "\\long_module_path";
    RemoveTree(directory);
    MakeTestDir(directory);
    struct Row { size_t length; int found; } rows[] = {{255, 1}, {259, 1}, {260, 0}};
    for (const Row& row : rows) {
        std::string prefix = directory + "\\";
        ASSERT_LT(prefix.size() + 4, row.length);
        std::string path = prefix + std::string(row.length - prefix.size() - 4, 'p') + ".dll";
        CopyFixture("version_pairs.dll", "\\\\?\\" + path);
        // Where the system cuts the path to fit the buffer, the cut path names
        // this decoy, which answers too; Wine leaves the path unterminated.
        if (path.size() >= kModulePathCapacity)
            CopyFixture("version_untranslated.dll", path.substr(0, kModulePathCapacity - 1));
        HMODULE module = LoadLibraryW(TestPath("\\\\?\\" + path).c_str());
        ASSERT_NE(module, nullptr) << path;
        char loaded[1024];
        ASSERT_EQ(GetModuleFileNameA(module, loaded, sizeof loaded), row.length)
            << "the module's path is not the one it was loaded from";
        Lookup lookup = Query(module, "Table");
        EXPECT_EQ(lookup.found, row.found) << "path of " << row.length << " characters";
        EXPECT_EQ(lookup.text, row.found ? "first pair" : "") << row.length;
        EXPECT_TRUE(row.found || lookup.untouched) << row.length;
        FreeLibrary(module);
    }
    RemoveTree(directory);
}

// An account name such as "Łukasz" puts every script folder outside the code
// page, and 130 "é" (two folders of 65: a Linux name holds at most 255 bytes)
// make a path whose UTF-8 form is longer than 255 bytes: the library finds
// its own file through its wide path in both.
TEST(GetDllVersion, AnswersFromAnyFolderTheSystemLoadsItFrom)
{
    std::string e_acutes;
    for (int i = 0; i < 65; ++i)
        e_acutes += "\xC3\xA9";
    for (const std::string& directory :
         {std::string("\xC5\x81ukasz"), e_acutes + "\\" + e_acutes}) {
        std::string top = directory.substr(0, directory.find('\\'));
        RemoveTree(top);
        MakeTestDir(top);
        MakeTestDir(directory);
        wchar_t own[MAX_PATH];
        ASSERT_GT(GetModuleFileNameW(Dll(), own, MAX_PATH), 0u);
        std::wstring copy = TestPath(directory + "\\tallowix.dll");
        ASSERT_TRUE(CopyFileW(own, copy.c_str(), FALSE));
        HMODULE module = LoadLibraryW(copy.c_str());
        ASSERT_NE(module, nullptr);
        char data[kResultBytes] = "FileVersion";
        bool balanced = false;
        EXPECT_EQ(CallStdcall(GetProcAddress(module, "GetDllVersion"),
                              {0, 0, reinterpret_cast<uintptr_t>(data), 0, 0, 1}, &balanced),
                  3u);
        EXPECT_TRUE(balanced);
        EXPECT_STREQ(data, "1.01") << directory.size() << "-byte folder name";
        FreeLibrary(module);
        RemoveTree(top);
    }
}

}  // namespace
