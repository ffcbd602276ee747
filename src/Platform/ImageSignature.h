#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// The check of a downloaded disk image against its detached minisign signature (Ed25519, the
// format of the minisign tool), made before anything opens the image: the key that made it, the
// signature over the file (pre-hashed with BLAKE2b, or over the file itself in the legacy form),
// the global signature over the trusted comment, and the file name that comment carries.
class ImageSignature {
  public:
    // What the check found; everything but `genuine` refuses the image.
    enum class Verdict {
        genuine,
        noTrustedKey,    // the launcher holds no usable public key
        unreadable,      // the text is not a minisign signature
        otherKey,        // made with another key than the trusted one
        fileChanged,     // the signature does not hold for these bytes
        commentChanged,  // the global signature does not hold for the trusted comment
        otherFileName,   // the trusted comment names another file
        fileUnreadable,  // the image could not be read
    };

    // The pre-hashed form's digest of an image, taken while its bytes arrive, so that the check
    // need not read the whole image once more. Pieces come in order; one at offset 0 starts over.
    class Prehash {
      public:
        Prehash();
        ~Prehash();
        Prehash(const Prehash&) = delete;
        Prehash& operator=(const Prehash&) = delete;

        void add(std::uint64_t offset, std::string_view bytes);

        struct State;  // the hash's, in the source alone

      private:
        friend class ImageSignature;
        std::unique_ptr<State> state_;
    };

    // Checks the image at `imagePath` against `signature` (the text of its .minisig file) with
    // `publicKey` (the base64 line of a minisign public key file); the trusted comment must say
    // "file:" followed by `fileName`. Takes the digest of `arrived` when it covers the whole
    // image, else reads the image a piece at a time (the legacy form maps it).
    static Verdict check(const std::string& imagePath, std::string_view signature,
                         std::string_view publicKey, std::string_view fileName,
                         const Prehash* arrived = nullptr);

    // Which check failed, in a few words, for the log.
    static std::string_view describe(Verdict verdict);
};

}  // namespace platform
