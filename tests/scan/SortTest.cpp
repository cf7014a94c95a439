#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/CScanList.h"

namespace orfeo {
namespace {

std::vector<std::string> Names(const CScanList& list) {
    std::vector<std::string> names;
    for (const ScanEntry& entry : list) names.push_back(entry.name);
    return names;
}

CScanList ListOf(const std::vector<std::string>& names) {
    CScanList list;
    for (const std::string& name : names) list.Add(ScanEntry{name, "/d/" + name});
    return list;
}

TEST(CompareNames, FoldsOnlyAsciiCapitalsAndComparesBytes) {
    EXPECT_EQ(CompareNames("a.tif", "A.TIF"), 0);
    EXPECT_LT(CompareNames("page10.tif", "page2.tif"), 0);  // digits are not numbers
    EXPECT_LT(CompareNames("page1.tif", "page10.tif"), 0);
    EXPECT_LT(CompareNames("_cover.tif", "a.tif"), 0);  // '_' before the letters...
    EXPECT_LT(CompareNames("_cover.tif", "A.tif"), 0);  // ...also before folded capitals
    EXPECT_LT(CompareNames("[x", "Z"), 0);              // capitals compare as lower case
    EXPECT_LT(CompareNames("ab", "abc"), 0);
    EXPECT_GT(CompareNames("\xc3\xa9", "z"), 0);         // bytes are unsigned
    EXPECT_NE(CompareNames("\xc3\x89", "\xc3\xa9"), 0);  // no folding beyond ASCII
}

TEST(SortByName, OrdersByFoldedNameAndKeepsPathsWithNames) {
    CScanList list = ListOf({"D.tif", "page2.tif", "B.tif", "_cover.tif", "a.tif", "page10.tif"});
    list.SortByName();
    EXPECT_EQ(Names(list),
              (std::vector<std::string>{"_cover.tif", "a.tif", "B.tif", "D.tif", "page10.tif", "page2.tif"}));
    for (const ScanEntry& entry : list) EXPECT_EQ(entry.path, "/d/" + entry.name);
}

TEST(SortByName, IsStableForNamesThatCompareEqual) {
    CScanList list;
    list.Add({"b.tif", "first"});
    list.Add({"A.tif", "a"});
    list.Add({"B.TIF", "second"});
    list.Add({"b.tif", "third"});
    list.SortByName();
    std::vector<std::string> paths;
    for (const ScanEntry& entry : list) paths.push_back(entry.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"a", "first", "second", "third"}));
}

}  // namespace
}  // namespace orfeo
