#include "LogFile.h"

#include <filesystem>
#include <sstream>
#include "Eventually.h"
#include "TempHome.h"

namespace log_file {

namespace fs = std::filesystem;

std::string folder(const std::string& home) {
    return home + "/Library/Logs/KeloHelvo/KeloPellix/";
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

std::vector<std::string> lines(const std::string& home) {
    std::vector<std::string> result;
    std::vector<std::string> files;
    for (int number = 10; number >= 0; --number) {
        files.push_back(folder(home) + "keloPellix" + std::to_string(number) + ".log");
    }
    files.push_back(folder(home) + "keloPellix.log");
    for (const auto& file : files) {
        if (!fs::exists(file)) continue;
        auto part = splitLines(readText(file));
        result.insert(result.end(), part.begin(), part.end());
    }
    return result;
}

::testing::AssertionResult inOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& pieces) {
    std::size_t next = 0;
    for (std::size_t index = 0; index < pieces.size(); ++index) {
        const auto& piece = pieces[index];
        std::size_t at = next;
        while (at < lines.size() && lines[at].find(piece) == std::string::npos) ++at;
        if (at == lines.size()) {
            const bool anywhere = count(lines, piece) > 0;
            auto failure = ::testing::AssertionFailure();
            failure << "piece " << index + 1 << " of " << pieces.size() << " \"" << piece << "\" "
                    << (anywhere ? "comes too early" : "is missing");
            if (index > 0) failure << " (expected after \"" << pieces[index - 1] << "\")";
            failure << "\n--- lines:\n";
            for (const auto& line : lines) failure << line << "\n";
            return failure;
        }
        next = at + 1;
    }
    return ::testing::AssertionSuccess();
}

int count(const std::vector<std::string>& lines, const std::string& piece) {
    int found = 0;
    for (const auto& line : lines) {
        if (line.find(piece) != std::string::npos) ++found;
    }
    return found;
}

bool waitFor(const std::string& home, const std::string& piece, std::chrono::milliseconds timeout,
             int times) {
    return eventually([&] { return count(lines(home), piece) >= times; }, timeout);
}

}  // namespace log_file
