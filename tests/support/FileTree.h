#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

// A file tree as the tests compare them: every folder, file and link under a folder (or the one
// file) by relative path, with its content (a link: its target) and whether it is executable.
struct TreeEntry {
    std::string content;
    bool executable = false;
    bool operator==(const TreeEntry&) const = default;
};
using FileTree = std::map<std::string, TreeEntry>;

// The tree at `root`; empty when nothing is there.
FileTree tree(const std::string& root);

// Equal trees, byte for byte; the failure names the first difference.
::testing::AssertionResult sameTree(const std::string& expected, const std::string& actual);
