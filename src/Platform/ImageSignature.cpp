#include "Platform/ImageSignature.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/ScopeExit.h"

namespace platform {
namespace {

// The pieces of minisign's formats (its signature and public key files).
constexpr std::size_t kAlgorithmBytes = 2;
constexpr std::size_t kKeyIdBytes = 8;
constexpr std::size_t kKeyBytes = crypto_sign_PUBLICKEYBYTES;
constexpr std::size_t kSignatureBytes = crypto_sign_BYTES;
constexpr std::size_t kPrehashBytes = 64;  // BLAKE2b-512
constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::size_t kReadChunk = 1 << 16;

using Bytes = std::vector<unsigned char>;

struct PublicKey {
    std::array<unsigned char, kKeyIdBytes> keyId{};
    std::array<unsigned char, kKeyBytes> key{};
};

struct Signature {
    bool prehashed = false;
    std::array<unsigned char, kKeyIdBytes> keyId{};
    std::array<unsigned char, kSignatureBytes> signature{};
    std::string trustedComment;
    std::array<unsigned char, kSignatureBytes> globalSignature{};
};

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    return line;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// The bytes of standard base64 text, when it is that and decodes to exactly `size` bytes.
std::optional<Bytes> decoded(std::string_view text, std::size_t size) {
    Bytes bytes(size + 1);  // room for one byte too many, to tell a longer text
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size() || length != size) {
        return std::nullopt;
    }
    bytes.resize(size);
    return bytes;
}

std::optional<PublicKey> parsePublicKey(std::string_view text) {
    const auto bytes = decoded(trimmed(text), kAlgorithmBytes + kKeyIdBytes + kKeyBytes);
    if (!bytes || (*bytes)[0] != 'E' || (*bytes)[1] != 'd') return std::nullopt;
    PublicKey key;
    std::copy_n(bytes->begin() + kAlgorithmBytes, kKeyIdBytes, key.keyId.begin());
    std::copy_n(bytes->begin() + kAlgorithmBytes + kKeyIdBytes, kKeyBytes, key.key.begin());
    return key;
}

// The four lines: untrusted comment, signature, trusted comment, global signature.
std::optional<Signature> parseSignature(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty() && lines.size() < 4) {
        const auto end = text.find('\n');
        lines.push_back(withoutLineEnd(text.substr(0, end)));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    if (lines.size() < 4 || !lines[0].starts_with(kUntrustedPrefix) ||
        !lines[2].starts_with(kTrustedPrefix)) {
        return std::nullopt;
    }
    const auto signed_ = decoded(lines[1], kAlgorithmBytes + kKeyIdBytes + kSignatureBytes);
    const auto global = decoded(lines[3], kSignatureBytes);
    if (!signed_ || !global || (*signed_)[0] != 'E') return std::nullopt;
    Signature signature;
    if ((*signed_)[1] == 'D') {
        signature.prehashed = true;
    } else if ((*signed_)[1] != 'd') {
        return std::nullopt;
    }
    std::copy_n(signed_->begin() + kAlgorithmBytes, kKeyIdBytes, signature.keyId.begin());
    std::copy_n(signed_->begin() + kAlgorithmBytes + kKeyIdBytes, kSignatureBytes,
                signature.signature.begin());
    signature.trustedComment = std::string(lines[2].substr(kTrustedPrefix.size()));
    std::copy(global->begin(), global->end(), signature.globalSignature.begin());
    return signature;
}

using Digest = std::array<unsigned char, kPrehashBytes>;

// BLAKE2b-512, minisign's pre-hash, through OpenSSL: measured here, it hashes an image in about
// half the time libsodium's takes, and the hash is a large part of a download's work.
class Blake2b {
  public:
    Blake2b() : context_(EVP_MD_CTX_new()) { restart(); }
    ~Blake2b() { EVP_MD_CTX_free(context_); }
    Blake2b(const Blake2b&) = delete;
    Blake2b& operator=(const Blake2b&) = delete;

    void restart() {
        good_ = context_ && EVP_DigestInit_ex(context_, EVP_blake2b512(), nullptr) == 1;
    }
    void add(const void* bytes, std::size_t count) {
        good_ = good_ && EVP_DigestUpdate(context_, bytes, count) == 1;
    }
    // The digest of what was added so far; the hash can go on afterwards.
    std::optional<Digest> digest() const {
        if (!good_) return std::nullopt;
        EVP_MD_CTX* copy = EVP_MD_CTX_new();
        ScopeExit freeCopy([copy] { EVP_MD_CTX_free(copy); });
        Digest digest{};
        unsigned int length = 0;
        if (!copy || EVP_MD_CTX_copy_ex(copy, context_) != 1 ||
            EVP_DigestFinal_ex(copy, digest.data(), &length) != 1 || length != digest.size()) {
            return std::nullopt;
        }
        return digest;
    }

  private:
    EVP_MD_CTX* context_;
    bool good_ = false;
};

// The file's BLAKE2b-512, read a piece at a time.
std::optional<Digest> digestOf(int fd) {
    Blake2b hash;
    std::vector<unsigned char> chunk(kReadChunk);
    for (;;) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        hash.add(chunk.data(), static_cast<std::size_t>(got));
    }
    return hash.digest();
}

}  // namespace

// The hash runs on a thread of its own, beside the transfer that hands it the pieces: hashing
// on the transfer's thread would add its whole time to the download's.
struct ImageSignature::Prehash::State {
    static constexpr std::size_t kPieceBytes = 1 << 20;
    static constexpr std::size_t kMaxQueuedBytes = 4 << 20;  // a slower hash holds the transfer

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<std::uint64_t, std::string>> pieces;
    std::string gathered;  // the next piece, still growing
    std::uint64_t gatheredOffset = 0;
    std::size_t queuedBytes = 0;
    bool hashing = false;  // the worker is on a piece taken from the queue
    bool stopping = false;

    // The worker's alone while it hashes; read by digestOf() once the queue is empty.
    Blake2b hash;
    std::uint64_t size = 0;  // bytes hashed, from the first
    bool inOrder = true;     // no piece came at another offset than the next

    std::thread worker;  // last: it starts once the rest is set up

    State() {
        restart();
        worker = std::thread([this] { run(); });
    }
    ~State() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        worker.join();
    }

    void restart() {
        hash.restart();
        size = 0;
        inOrder = true;
    }

    // Pieces arrive a TLS record at a time: they are gathered into larger ones, so that the
    // worker is woken once per megabyte, not once per record.
    void add(std::uint64_t offset, std::string_view bytes) {
        std::unique_lock lock(mutex);
        if (!gathered.empty() && offset != gatheredOffset + gathered.size()) handOver(lock);
        if (gathered.empty()) gatheredOffset = offset;
        gathered.append(bytes);
        if (gathered.size() >= kPieceBytes) handOver(lock);
    }

    void handOver(std::unique_lock<std::mutex>& lock) {
        changed.wait(lock, [&] { return queuedBytes < kMaxQueuedBytes; });
        queuedBytes += gathered.size();
        pieces.emplace_back(gatheredOffset, std::exchange(gathered, {}));
        changed.notify_all();
    }

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return stopping || !pieces.empty(); });
            if (stopping) return;
            auto [offset, bytes] = std::move(pieces.front());
            pieces.pop_front();
            hashing = true;
            lock.unlock();
            if (offset == 0) restart();
            if (offset != size) inOrder = false;
            if (inOrder) {
                hash.add(bytes.data(), bytes.size());
                size += bytes.size();
            }
            lock.lock();
            hashing = false;
            queuedBytes -= bytes.size();
            changed.notify_all();
        }
    }

    // The digest, when the pieces were the first `fileSize` bytes in order; waits for the pieces
    // still queued.
    std::optional<Digest> digestOf(std::uint64_t fileSize) {
        std::unique_lock lock(mutex);
        if (!gathered.empty()) handOver(lock);
        changed.wait(lock, [&] { return pieces.empty() && !hashing; });
        if (!inOrder || size != fileSize) return std::nullopt;
        return hash.digest();
    }
};

ImageSignature::Prehash::Prehash() : state_(std::make_unique<State>()) {}

ImageSignature::Prehash::~Prehash() = default;

void ImageSignature::Prehash::add(std::uint64_t offset, std::string_view bytes) {
    state_->add(offset, bytes);
}

namespace {

// Whether the signature holds for the file's bytes; nullopt when the file cannot be read.
std::optional<bool> fileSignatureHolds(const std::string& path, const Signature& signature,
                                       const PublicKey& key,
                                       ImageSignature::Prehash::State* arrived) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    ScopeExit closeFile([fd] { ::close(fd); });
    struct stat info {};
    if (::fstat(fd, &info) != 0) return std::nullopt;
    const auto size = static_cast<std::size_t>(info.st_size);

    if (signature.prehashed) {
        std::optional<Digest> digest = arrived ? arrived->digestOf(size) : std::nullopt;
        if (!digest) digest = digestOf(fd);
        if (!digest) return std::nullopt;
        return crypto_sign_verify_detached(signature.signature.data(), digest->data(),
                                           digest->size(), key.key.data()) == 0;
    }

    // The legacy form signs the bytes themselves: Ed25519 needs them all at once.
    const unsigned char empty = 0;
    const unsigned char* bytes = &empty;
    void* mapped = MAP_FAILED;
    if (size > 0) {
        mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED) return std::nullopt;
        bytes = static_cast<const unsigned char*>(mapped);
    }
    ScopeExit unmap([mapped, size] {
        if (mapped != MAP_FAILED) ::munmap(mapped, size);
    });
    return crypto_sign_verify_detached(signature.signature.data(), bytes, size, key.key.data()) ==
           0;
}

// minisign's trusted comment is tab-separated fields ("timestamp:…", "file:…", …): every
// "file:" field there must name the image, and there must be one.
bool namesFile(std::string_view comment, std::string_view fileName) {
    bool named = false;
    for (std::size_t start = 0; start <= comment.size();) {
        const auto end = std::min(comment.find('\t', start), comment.size());
        const std::string_view field = comment.substr(start, end - start);
        if (field.starts_with("file:")) {
            if (field.substr(5) != fileName) return false;
            named = true;
        }
        start = end + 1;
    }
    return named;
}

}  // namespace

ImageSignature::Verdict ImageSignature::check(const std::string& imagePath,
                                              std::string_view signatureText,
                                              std::string_view publicKey, std::string_view fileName,
                                              const Prehash* arrived) {
    if (sodium_init() < 0) return Verdict::noTrustedKey;
    const auto key = parsePublicKey(publicKey);
    if (!key) return Verdict::noTrustedKey;
    const auto signature = parseSignature(signatureText);
    if (!signature) return Verdict::unreadable;
    if (sodium_memcmp(signature->keyId.data(), key->keyId.data(), kKeyIdBytes) != 0) {
        return Verdict::otherKey;
    }
    const auto holds =
        fileSignatureHolds(imagePath, *signature, *key, arrived ? arrived->state_.get() : nullptr);
    if (!holds) return Verdict::fileUnreadable;
    if (!*holds) return Verdict::fileChanged;

    // The global signature covers the file's signature and the trusted comment together.
    Bytes signedComment(signature->signature.begin(), signature->signature.end());
    signedComment.insert(signedComment.end(), signature->trustedComment.begin(),
                         signature->trustedComment.end());
    if (crypto_sign_verify_detached(signature->globalSignature.data(), signedComment.data(),
                                    signedComment.size(), key->key.data()) != 0) {
        return Verdict::commentChanged;
    }
    if (!namesFile(signature->trustedComment, fileName)) return Verdict::otherFileName;
    return Verdict::genuine;
}

std::string_view ImageSignature::describe(Verdict verdict) {
    switch (verdict) {
        case Verdict::genuine:
            return "the signature holds";
        case Verdict::noTrustedKey:
            return "the launcher holds no usable image key (KeloImagePublicKey)";
        case Verdict::unreadable:
            return "the signature is not a minisign signature";
        case Verdict::otherKey:
            return "the image is signed with another key";
        case Verdict::fileChanged:
            return "the signature does not hold for the image's bytes";
        case Verdict::commentChanged:
            return "the signature does not hold for the trusted comment";
        case Verdict::otherFileName:
            return "the trusted comment names another file";
        case Verdict::fileUnreadable:
            return "the image cannot be read";
    }
    return "unknown";
}

}  // namespace platform
