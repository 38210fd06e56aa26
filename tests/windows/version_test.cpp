// GetDllVersion called through the DLL as a host calls it, and the lookup
// rules that the library's own resource cannot show, checked by calling
// QueryVersionString from the core library on small resource-only DLLs.
#include "harness.h"

#include "version/version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// The bytes from `from` to the end of the buffer are as CallHost laid them
// out for `input` before the call.
bool UnchangedFrom(const HostCall& call, const std::string& input, size_t from)
{
    std::vector<char> before(call.buffer.size(), kGuardByte);
    memcpy(before.data(), input.c_str(), input.size() + 1);
    return from >= before.size() ||
           memcmp(call.buffer.data() + from, before.data() + from, before.size() - from) == 0;
}

struct StringRow {
    const char* key;
    const char* value;
};

const StringRow kOwnStrings[] = {
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
    for (const StringRow& row : kOwnStrings) {
        HostCall call = CallHost("GetDllVersion", row.key);
        EXPECT_EQ(call.result, 3) << row.key;
        EXPECT_TRUE(call.balanced) << row.key;
        EXPECT_EQ(call.Text(), row.value) << row.key;
        EXPECT_TRUE(UnchangedFrom(call, row.key, strlen(row.value) + 1))
            << row.key << ": written behind the answer's terminator";
    }
}

struct MissingRow {
    std::string key;
    const char* why;
};

const MissingRow kMissingKeys[] = {
    {"Comments", "a common key that this table lacks"},
    {"FileVersio", "a key cut short"},
    {"FileVersion2", "a key with more behind it"},
    {"Translation", "a key of the translation list, not of the string table"},
    {"", "the empty key: the lookup path ends in a backslash"},
    {std::string(kMaxVersionKeyLength, 'K'), "the longest key that fits the lookup path"},
    {std::string(kMaxVersionKeyLength + 1, 'K'), "one character past the bound"},
    {std::string(255, 'K'), "a key as long as a whole path"},
    {std::string(1000, 'K'), "a key four times the path buffer"},
    {std::string(kHostBufferBytes - 1, 'K'), "a key that fills the host's whole buffer"},
};

TEST(GetDllVersion, AnswersQuestionMarkInTheFirstTwoBytesForAnyOtherKey)
{
    for (const MissingRow& row : kMissingKeys) {
        HostCall call = CallHost("GetDllVersion", row.key);
        EXPECT_EQ(call.result, 3) << row.why;
        EXPECT_TRUE(call.balanced) << row.why;
        EXPECT_EQ(call.Text(), "?") << row.why;
        EXPECT_TRUE(UnchangedFrom(call, row.key, 2)) << row.why << ": more than two bytes written";
    }
}

// ---- The lookup on fixture modules ----------------------------------------

struct Lookup {
    int found = 0;
    std::string text;
    bool untouched = false;  // no byte of the output was written
    bool bounded = false;    // no byte past the capacity was written
};

Lookup Query(HMODULE module, const std::string& key)
{
    constexpr size_t kSlack = 16;
    char out[kVersionAnswerCapacity + kSlack];
    memset(out, kGuardByte, sizeof out);
    Lookup lookup;
    lookup.found = QueryVersionString(module, key.c_str(), out, kVersionAnswerCapacity);
    lookup.text.assign(out, strnlen(out, sizeof out));
    auto guarded = [&](size_t from) {
        for (size_t i = from; i < sizeof out; ++i)
            if (out[i] != kGuardByte)
                return false;
        return true;
    };
    lookup.untouched = guarded(0);
    lookup.bounded = guarded(kVersionAnswerCapacity);
    return lookup;
}

// Loads a fixture DLL from the suite's own directory.
HMODULE Fixture(const char* name)
{
    HMODULE module = LoadLibraryA(name);
    EXPECT_NE(module, nullptr) << "cannot load " << name;
    return module;
}

// "0123456789" repeated to `length` characters, as the values fixture holds.
std::string Digits(size_t length)
{
    std::string text;
    while (text.size() < length)
        text += "0123456789";
    return text.substr(0, length);
}

struct ValueRow {
    std::string key;
    std::string answer;
    const char* why;
};

TEST(QueryVersionString, CutsValuesToTheCapacityAndBoundsTheKey)
{
    HMODULE module = Fixture("version_values.dll");
    ASSERT_NE(module, nullptr);
    const ValueRow rows[] = {
        {"Length98", Digits(98), "shorter than the answer's room"},
        {"Length99", Digits(99), "exactly the 99 characters the answer holds"},
        {"Length100", Digits(99), "one character too long: cut to 99"},
        {"Length300", Digits(99), "far too long: cut to 99"},
        {std::string(kMaxVersionKeyLength, 'K'), "key of 230 characters",
         "the longest key is looked up"},
    };
    for (const ValueRow& row : rows) {
        Lookup lookup = Query(module, row.key);
        EXPECT_EQ(lookup.found, 1) << row.why;
        EXPECT_EQ(lookup.text, row.answer) << row.why;
        EXPECT_TRUE(lookup.bounded) << row.why;
    }
    // The table holds this key too, but its lookup path would not fit.
    Lookup refused = Query(module, std::string(kMaxVersionKeyLength + 1, 'K'));
    EXPECT_EQ(refused.found, 0);
    EXPECT_TRUE(refused.untouched);
    FreeLibrary(module);
}

TEST(QueryVersionString, SearchesTheTableOfTheFirstTranslationPairOnly)
{
    HMODULE module = Fixture("version_pairs.dll");
    ASSERT_NE(module, nullptr);
    Lookup lookup = Query(module, "Table");
    EXPECT_EQ(lookup.found, 1);
    EXPECT_EQ(lookup.text, "first pair");
    FreeLibrary(module);
}

TEST(QueryVersionString, SearchesTable040904E4WithoutATranslationList)
{
    HMODULE module = Fixture("version_untranslated.dll");
    ASSERT_NE(module, nullptr);
    Lookup lookup = Query(module, "Table");
    EXPECT_EQ(lookup.found, 1);
    EXPECT_EQ(lookup.text, "040904E4");
    FreeLibrary(module);
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
    std::string source = CurrentDirectory() + "\\" + fixture;
    EXPECT_TRUE(CopyFileA(source.c_str(), path.c_str(), FALSE)) << path;
}

TEST(QueryVersionString, ReadsAModuleWhosePathFills255CharactersAndNoLonger)
{
    std::string directory = CurrentDirectory() + "\\long_module_path";
    RemoveTree(directory);
    MakeTestDir(directory);
    struct Row {
        size_t length;
        int found;
    } rows[] = {{kPathCapacity - 1, 1}, {kPathCapacity, 0}};
    for (const Row& row : rows) {
        std::string prefix = directory + "\\";
        ASSERT_LT(prefix.size() + 4, row.length);
        std::string path = prefix + std::string(row.length - prefix.size() - 4, 'p') + ".dll";
        CopyFixture("version_pairs.dll", path);
        // Where the system cuts the path to fit the buffer, the cut path names
        // this decoy, which answers too; Wine leaves the path unterminated.
        if (path.size() >= kPathCapacity)
            CopyFixture("version_untranslated.dll", path.substr(0, kPathCapacity - 1));
        HMODULE module = LoadLibraryA(path.c_str());
        ASSERT_NE(module, nullptr) << path;
        char loaded[1024];
        ASSERT_EQ(GetModuleFileNameA(module, loaded, sizeof loaded), row.length)
            << "the module's path is not the one it was loaded from";
        Lookup lookup = Query(module, "Table");
        EXPECT_EQ(lookup.found, row.found) << "path of " << row.length << " characters";
        if (row.found)
            EXPECT_EQ(lookup.text, "first pair");
        else
            EXPECT_TRUE(lookup.untouched) << "path of " << row.length << " characters";
        FreeLibrary(module);
    }
    RemoveTree(directory);
}

}  // namespace
