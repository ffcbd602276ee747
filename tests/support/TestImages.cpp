#include "TestImages.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Platform/Volumes.h"
#include "ShellQuote.h"
#include "TempHome.h"

namespace fs = std::filesystem;

bool TestImages::make(const std::string& folder, const std::string& environment) {
    const std::string command =
        "KELO_IMAGE_KEY=" + shellQuoted(KELO_IMAGE_SECRET_KEY) + " " + environment + " " +
        shellQuoted(std::string(KELO_SOURCE_DIR) + "/tools/make-test-images.sh") + " " +
        shellQuoted(folder) + " >&2";
    return std::system(command.c_str()) == 0;
}

std::string TestImages::volume(const std::string& name) {
    const std::string folder = platform::Volumes::folder();
    fs::create_directories(folder);
    // The volumes folder and the one above it are the user's alone, as the tool leaves them.
    fs::permissions(folder, fs::perms::owner_all);
    fs::permissions(fs::path(folder).parent_path(), fs::perms::owner_all);
    fs::create_directories(folder + "/" + name);
    return folder + "/" + name;
}

std::string TestImages::signature(const std::string& file, const Signing& signing) {
    const std::string output = file + ".test-minisig";
    const std::string command = "minisign -S -q" + std::string(signing.legacy ? " -l" : "") +
                                " -s " + shellQuoted(signing.secretKey) + " -m " +
                                shellQuoted(file) + " -x " + shellQuoted(output) + " -t " +
                                shellQuoted(signing.comment) + " >&2";
    if (std::system(command.c_str()) != 0) return {};
    std::string text = readText(output);
    fs::remove(output);
    return text;
}

std::string TestImages::makeKeyPair(const std::string& folder) {
    fs::create_directories(folder);
    const std::string secret = folder + "/other.key";
    const std::string command = "minisign -G -W -f -p " + shellQuoted(folder + "/other.pub") +
                                " -s " + shellQuoted(secret) + " >/dev/null";
    return std::system(command.c_str()) == 0 ? secret : std::string();
}

std::string TestImages::publicKey(const std::string& secretKey) {
    std::ifstream in(fs::path(secretKey).replace_extension(".pub"));
    std::string line;
    std::getline(in, line);  // the untrusted comment
    std::getline(in, line);
    return line;
}
