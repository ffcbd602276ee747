#include "FileTree.h"

#include <filesystem>

#include "TempHome.h"

namespace fs = std::filesystem;

namespace {

TreeEntry treeEntry(const fs::directory_entry& entry) {
    if (entry.is_symlink()) return {"-> " + fs::read_symlink(entry.path()).string(), false};
    if (entry.is_directory()) return {"(folder)", false};
    const auto perms = fs::status(entry.path()).permissions();
    return {readText(entry.path().string()), (perms & fs::perms::owner_exec) != fs::perms::none};
}

}  // namespace

FileTree tree(const std::string& root) {
    FileTree entries;
    const fs::directory_entry top(root);
    if (!top.exists()) return entries;
    if (!top.is_directory()) return {{"", treeEntry(top)}};
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        entries[fs::relative(entry.path(), root).string()] = treeEntry(entry);
    }
    return entries;
}

::testing::AssertionResult sameTree(const std::string& expected, const std::string& actual) {
    const auto want = tree(expected);
    const auto got = tree(actual);
    if (want.empty()) return ::testing::AssertionFailure() << expected << " is empty or missing";
    for (const auto& [name, entry] : want) {
        const auto found = got.find(name);
        if (found == got.end()) {
            return ::testing::AssertionFailure() << actual << ": " << name << " is missing";
        }
        if (!(found->second == entry)) {
            return ::testing::AssertionFailure() << actual << ": " << name << " differs";
        }
    }
    for (const auto& [name, entry] : got) {
        if (!want.contains(name)) {
            return ::testing::AssertionFailure() << actual << ": " << name << " is extra";
        }
    }
    return ::testing::AssertionSuccess();
}
