#pragma once

#include <string>

// The disk images that tools/make-test-images.sh builds: the agent's KeloMac.dmg (volume "Kelo":
// Kelo.app and its four support tools) and the launcher's KeloHelvoPellix.dmg (volume
// "Pellix Plugin": Kelo Helvo Pellix.app), each with its signature (".minisig") by the build's
// image key.
class TestImages {
  public:
    // Builds both images in `folder`. `environment` ("AGENT_VERSION=2.5", "PELLIX_VERSION=...")
    // goes in front of the script. The script's own output goes to standard error. True when it
    // succeeded.
    static bool make(const std::string& folder, const std::string& environment = "");

    // A volume as the disk-image tool leaves one mounted: a folder of that name in the user's
    // private volumes folder (made, mode 0700, when missing). Returns its path.
    static std::string volume(const std::string& name);

    // How minisign signs a file: the trusted comment, the secret key, the legacy form.
    struct Signing {
        std::string comment;
        std::string secretKey = KELO_IMAGE_SECRET_KEY;  // the build's
        bool legacy = false;
    };
    // The text of the file's minisign signature; empty when minisign failed.
    static std::string signature(const std::string& file, const Signing& signing);
    // A new key pair, made with minisign in `folder`: returns the secret key's path ("<folder>/
    // other.key"; the public key beside it is "other.pub").
    static std::string makeKeyPair(const std::string& folder);
    // The base64 line of the public key beside a secret key ("x.key" -> "x.pub").
    static std::string publicKey(const std::string& secretKey = KELO_IMAGE_SECRET_KEY);
};
