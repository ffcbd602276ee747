#pragma once

#include <gio/gio.h>

#include <optional>
#include <string>

// Server certificates the web view refused, checked once more against the development
// authority of KELO_PELLIX_CA_FILE (tests and the demo only, never in a release build), for the
// development hosts only (platform::Deployment). Nothing else is ever trusted here: without that
// file, for another host, or for a certificate it does not vouch for, a refused certificate stays
// refused.
class TlsTrust {
  public:
    // The authority file, when KELO_PELLIX_CA_FILE names one in a development build.
    static std::optional<std::string> authorityFile();

    // What is wrong with the certificate (as presented, with its chain) for host:port when the
    // authority in the file is the only one trusted; 0 when nothing is. A file that cannot be
    // read fails everything (G_TLS_CERTIFICATE_GENERIC_ERROR) and says why in *problem.
    static GTlsCertificateFlags verify(GTlsCertificate* certificate, const std::string& authority,
                                       const std::string& host, guint16 port,
                                       std::string* problem = nullptr);

    // The flags in words: "the certificate has expired, its authority is not trusted".
    static std::string describe(GTlsCertificateFlags flags);
};
