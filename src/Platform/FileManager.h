#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Error.h"

namespace platform {

// The file-system service. Every operation reports a failure as an Error instead of throwing.
class FileManager {
  public:
    static FileManager& defaultManager();

    // Something exists at the path (symbolic links followed).
    bool fileExists(const std::string& path) const;
    bool isDirectory(const std::string& path) const;
    // A symbolic link is at the path, whether or not what it names exists.
    bool isSymbolicLink(const std::string& path) const;

    // Creates the folder; with intermediates, missing parents too and an existing folder is fine.
    std::optional<Error> createDirectory(const std::string& path, bool withIntermediates) const;
    // A folder of the user's own, readable by nobody else: created 0700 (missing parents with the
    // usual mode), or an existing one of the user's made 0700. A symbolic link in its place, or a
    // folder of someone else, is refused and left as it is.
    std::optional<Error> createPrivateDirectory(const std::string& path) const;
    // Removes a file or a whole folder tree.
    std::optional<Error> removeItem(const std::string& path) const;
    // Copies a file or a folder tree (modes and symbolic links kept). Fails when the destination
    // exists or its folder is missing; a copy that fails half-way is removed again.
    std::optional<Error> copyItem(const std::string& source, const std::string& destination) const;
    // Gives a file a second name (a hard link): no bytes are copied. Fails across file systems.
    std::optional<Error> linkItem(const std::string& source, const std::string& destination) const;

    std::optional<std::uint64_t> fileSize(const std::string& path) const;
    std::optional<std::string> readFile(const std::string& path, Error* error = nullptr) const;
    // Reads a regular file of at most `maximumSize` bytes. Anything else (a pipe, a device, a
    // folder, a longer file) is refused without waiting for it or reading it whole.
    std::optional<std::string> readRegularFile(const std::string& path, std::size_t maximumSize,
                                               Error* error = nullptr) const;

    // Reads a file of the launcher's own (its preferences, info file, proxy settings): only a
    // regular file that stands at the path itself. A symbolic link there is not followed (ELOOP).
    std::optional<std::string> readOwnFile(const std::string& path, Error* error = nullptr) const;

    // Writes the file whole: a temporary file in the same folder, flushed, then renamed into
    // place, so a reader sees the old content or the new one, never a part. A symbolic link at
    // the path is replaced by the file; what it names is never written.
    std::optional<Error> writeFileAtomically(const std::string& path, std::string_view bytes,
                                             mode_t mode = 0644) const;
};

}  // namespace platform
