#pragma once

#include <string>

// The disk images that tools/make-test-images.sh builds: the agent's KeloMac.dmg (volume "Kelo":
// Kelo.app and its four support tools) and the launcher's KeloHelvoPellix.dmg (volume
// "Pellix Plugin": Kelo Helvo Pellix.app).
class TestImages {
  public:
    // Builds both images in `folder`. `environment` ("AGENT_VERSION=2.5", "PELLIX_VERSION=...")
    // goes in front of the script. The script's own output goes to standard error. True when it
    // succeeded.
    static bool make(const std::string& folder, const std::string& environment = "");

    // A volume as the disk-image tool leaves one mounted: a folder of that name in the user's
    // private volumes folder (made, mode 0700, when missing). Returns its path.
    static std::string volume(const std::string& name);
};
