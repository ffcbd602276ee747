#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Deployment values: the data-centre table and the local development domain. The environment
// variable KELO_PELLIX_HOSTS ("code=host[:port],...") overrides entries for tests and the demo.
class Deployment {
public:
    // The web server host for a data-centre code (compared exactly, first match wins); an
    // unknown code yields the code, a dot and the local development domain.
    static std::string webServerHost(const std::string& code);
    // Whether the code can name a web server: a code of the table (or of KELO_PELLIX_HOSTS), or
    // one host-name label (letters, digits and "-", 1 to 63 of them) that webServerHost turns
    // into a host of the local development domain. Anything else ("evil.example/", "a:1")
    // would make a host, or more than a host, of someone else's choosing.
    static bool isDataCentreCode(const std::string& code);
    // The host of the "com" row, the default data centre.
    static std::string defaultWebServerHost();
    // The local development domain: the "localkelo" host without its first label.
    static std::string localDevelopmentDomain();
    // Every host of the table, overrides included: the hosts the service's pages come from.
    static std::vector<std::string> knownHosts();
};

}  // namespace platform
