#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Deployment values: the data-centre table and the local development domain.
//
// A development build (the default) also takes two overrides from the environment, each use
// logged: KELO_PELLIX_HOSTS ("code=host[:port],...") replaces or adds entries of the table, and
// KELO_PELLIX_CA_FILE names an extra certificate authority that vouches for the hosts of
// KELO_PELLIX_HOSTS and of the development domain (tests and the demo run on a local service).
// A release build (CMake option KELO_RELEASE) has neither override, no development data centre
// and no development domain: the table is all it knows.
class Deployment {
  public:
    // The web server host for a data-centre code (compared exactly, first match wins). In a
    // development build an unknown code yields the code, a dot and the local development domain;
    // in a release build it yields nothing (an empty text).
    static std::string webServerHost(const std::string& code);
    // Whether the code can name a web server: a code of the table (or of KELO_PELLIX_HOSTS), or,
    // in a development build, one host-name label (letters, digits and "-", 1 to 63 of them) that
    // webServerHost turns into a host of the local development domain. Anything else
    // ("evil.example/", "a:1") would make a host, or more than a host, of someone else's choosing.
    static bool isDataCentreCode(const std::string& code);
    // The host of the "com" row, the default data centre.
    static std::string defaultWebServerHost();
    // The local development domain: the "localkelo" host without its first label; empty in a
    // release build.
    static std::string localDevelopmentDomain();
    // Every host of the table, overrides included: the hosts the service's pages come from.
    static std::vector<std::string> knownHosts();

    // The authority file that KELO_PELLIX_CA_FILE names (development builds only).
    static std::optional<std::string> developmentAuthorityFile();
    // Whether that authority may vouch for a host (its name: no port, no brackets; letter case
    // ignored): a
    // host that KELO_PELLIX_HOSTS names, or one of the local development domain. For any
    // other host only the system's authorities count.
    static bool developmentAuthorityVouchesFor(const std::string& host);
};

}  // namespace platform
