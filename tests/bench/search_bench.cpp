// Search figures: FindFileSizeCrc over a tree of 100,000 files in 1,000
// directories that holds no match, beside GNU find looking for the same size
// in the same run, with the ratio; and the number of files the search opened,
// which must be exactly the files of the wanted size.
//
//     search_bench TREE
//
// TREE is made on the first run and reused. Files are opened through the
// platform layer's open(), which this program is linked to wrap
// (-Wl,--wrap=open) so that it can count them.
#include "crc/filecrc.h"
#include "search/search.h"
#include "test_data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

extern "C" int __real_open(const char* path, int flags, ...);

namespace {

constexpr int kDirectories = 1000;
constexpr int kFilesPerDirectory = 100;
constexpr uint32_t kLargestSize = 4096;
// The size searched for, and how many files of it the tree holds.
constexpr uint32_t kWantedSize = 3333;
constexpr int kWantedFiles = 10;
// Asked for with a CRC that none of the wanted-size files has.
constexpr int kRounds = 7;

unsigned long OpenCount = 0;

std::string FilePath(const std::string& tree, int dir, int file)
{
    char name[64];
    std::snprintf(name, sizeof name, "/d%03d/f%02d", dir, file);
    return tree + name;
}

bool WriteFile(const std::string& path, const char* bytes, size_t size)
{
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    std::fwrite(bytes, 1, size, out);
    return std::fclose(out) == 0;
}

bool MakeTree(const std::string& tree)
{
    std::string done = tree + "/.complete";
    struct stat st;
    if (stat(done.c_str(), &st) == 0)
        return true;
    std::printf("making %d files in %d directories under %s\n",
                kDirectories * kFilesPerDirectory, kDirectories, tree.c_str());
    mkdir(tree.c_str(), 0755);
    std::string content = RandomBytes(kLargestSize, 5);
    std::mt19937 rng(5);
    rng.discard(kLargestSize);  // the sizes continue the content's sequence
    for (int d = 0; d < kDirectories; ++d) {
        char name[16];
        std::snprintf(name, sizeof name, "/d%03d", d);
        mkdir((tree + name).c_str(), 0755);
        for (int f = 0; f < kFilesPerDirectory; ++f) {
            // The wanted-size files are spread evenly over the tree.
            bool wanted = f == 0 && d % (kDirectories / kWantedFiles) == 0;
            uint32_t size = wanted ? kWantedSize : static_cast<uint32_t>(rng() % kLargestSize);
            if (!wanted && size == kWantedSize)
                ++size;
            if (!WriteFile(FilePath(tree, d, f), content.data(), size))
                return false;
        }
    }
    return WriteFile(done, "", 0);
}

// Beside the tree: TREE-links/l holds 1,000 links, one to each of the tree's
// directories; TREE-ladder/0 to /24 are a ladder, two links in each level
// to the next.
void MakeLinkTrees(const std::string& tree)
{
    std::string links = tree + "-links", ladder = tree + "-ladder";
    mkdir(links.c_str(), 0755);
    mkdir((links + "/l").c_str(), 0755);
    char* absolute = realpath(tree.c_str(), nullptr);
    for (int d = 0; d < kDirectories && absolute != nullptr; ++d) {
        char name[16];
        std::snprintf(name, sizeof name, "/d%03d", d);
        symlink((absolute + std::string(name)).c_str(), (links + "/l" + name).c_str());
    }
    std::free(absolute);
    mkdir(ladder.c_str(), 0755);
    for (int level = 0; level <= 24; ++level) {
        std::string at = ladder + "/" + std::to_string(level);
        mkdir(at.c_str(), 0755);
        if (level < 24)
            for (const char* name : {"/a", "/b"})
                symlink(("../" + std::to_string(level + 1)).c_str(), (at + name).c_str());
    }
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The median of all rounds but the first, which warms the caches.
double Median(std::vector<double> values)
{
    values.erase(values.begin());
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

extern "C" int __wrap_open(const char* path, int flags, ...)
{
    ++OpenCount;
    va_list args;
    va_start(args, flags);
    int mode = (flags & O_CREAT) ? va_arg(args, int) : 0;
    va_end(args);
    return __real_open(path, flags, mode);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: search_bench TREE\n");
        return 2;
    }
    std::string tree = argv[1];
    if (!MakeTree(tree)) {
        std::fprintf(stderr, "search_bench: cannot make the tree under %s\n", tree.c_str());
        return 1;
    }
    // A CRC that no file of the wanted size has.
    std::vector<uint32_t> taken;
    for (int d = 0; d < kDirectories; d += kDirectories / kWantedFiles)
        taken.push_back(CalcFileCrc(FilePath(tree, d, 0).c_str()));
    uint32_t crc = 0;
    while (std::find(taken.begin(), taken.end(), crc) != taken.end())
        ++crc;
    std::string find = "find " + tree + " -size " + std::to_string(kWantedSize) + "c >/dev/null";

    std::vector<double> search_times, find_times;
    unsigned long opens_per_search = 0;
    bool found = false;
    for (int round = 0; round <= kRounds; ++round) {
        char result[256];  // FindFileSizeCrc's output
        OpenCount = 0;
        auto start = std::chrono::steady_clock::now();
        found |= FindFileSizeCrc(kWantedSize, crc, tree.c_str(), result) != 0;
        search_times.push_back(Seconds(start));
        opens_per_search = OpenCount;
        start = std::chrono::steady_clock::now();
        if (std::system(find.c_str()) != 0) {
            std::fprintf(stderr, "search_bench: %s failed\n", find.c_str());
            return 1;
        }
        find_times.push_back(Seconds(start));
    }
    double search = Median(search_times), by_find = Median(find_times);
    std::printf("tree: %d files in %d directories, %d of %u bytes, no match\n",
                kDirectories * kFilesPerDirectory, kDirectories, kWantedFiles, kWantedSize);
    std::printf("FindFileSizeCrc: %.1f ms   find -size %uc: %.1f ms   ratio %.2fx (median of %d)\n",
                search * 1e3, kWantedSize, by_find * 1e3, search / by_find, kRounds);
    MakeLinkTrees(tree);
    const struct { const char *suffix, *what; } link_trees[] = {
        {"-links", "1,000 links, one to each of the tree's directories"},
        {"-ladder", "a ladder of 24 levels, two links each to the next"},
    };
    for (const auto& kind : link_trees) {
        std::vector<double> times;
        std::string top = tree + kind.suffix;
        for (int round = 0; round <= 3; ++round) {
            char result[256];  // FindFileSizeCrc's output
            auto start = std::chrono::steady_clock::now();
            found |= FindFileSizeCrc(kWantedSize, crc, top.c_str(), result) != 0;
            times.push_back(Seconds(start));
        }
        std::printf("%s: %.1f ms (median of 3)\n", kind.what, Median(times) * 1e3);
    }
    std::printf("files opened per search: %lu (files of the wanted size: %d)%s\n",
                opens_per_search, kWantedFiles, found ? "; UNEXPECTED MATCH" : "");
    return opens_per_search == static_cast<unsigned long>(kWantedFiles) && !found ? 0 : 1;
}
