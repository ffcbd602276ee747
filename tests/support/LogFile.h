#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

// Reading the launcher's log as the end-to-end tests check it: every line of the current log and
// its numbered copies, oldest first, and checks that lines come in a given order.
namespace log_file {

// home + "/Library/Logs/KeloHelvo/KeloPellix/"
std::string folder(const std::string& home);

// The lines of keloPellix10.log down to keloPellix0.log, then of keloPellix.log: the order they
// were written in. Files that are missing are skipped.
std::vector<std::string> lines(const std::string& home);

// The lines of a text (standard output or error of a process, one file).
std::vector<std::string> splitLines(const std::string& text);

// Success when each piece is found in a line after the line of the piece before it (pieces are
// plain substrings; several pieces may not share a line). The failure names the first piece
// that was not found after its predecessor, and whether it appears at all.
::testing::AssertionResult inOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& pieces);

// How many lines hold the piece.
int count(const std::vector<std::string>& lines, const std::string& piece);

// Polls the log of the home until a line holds the piece `times` times (or more).
bool waitFor(const std::string& home, const std::string& piece, std::chrono::milliseconds timeout,
             int times = 1);

}  // namespace log_file
