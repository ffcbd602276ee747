#include "App/TlsTrust.h"

#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Deployment.h"

std::optional<std::string> TlsTrust::authorityFile() {
    return platform::Deployment::developmentAuthorityFile();
}

GTlsCertificateFlags TlsTrust::verify(GTlsCertificate* certificate, const std::string& authority,
                                      const std::string& host, guint16 port, std::string* problem) {
    GError* error = nullptr;
    GTlsDatabase* database = g_tls_file_database_new(authority.c_str(), &error);
    if (!database) {
        if (problem) *problem = error ? error->message : "the authority file cannot be read";
        g_clear_error(&error);
        return G_TLS_CERTIFICATE_GENERIC_ERROR;
    }
    GSocketConnectable* identity = g_network_address_new(host.c_str(), port);
    const GTlsCertificateFlags flags = g_tls_database_verify_chain(
        database, certificate, G_TLS_DATABASE_PURPOSE_AUTHENTICATE_SERVER, identity, nullptr,
        G_TLS_DATABASE_VERIFY_NONE, nullptr, &error);
    if (error) {
        if (problem) *problem = error->message;
        g_clear_error(&error);
    }
    g_object_unref(identity);
    g_object_unref(database);
    return flags;
}

std::string TlsTrust::describe(GTlsCertificateFlags flags) {
    static const std::vector<std::pair<GTlsCertificateFlags, std::string_view>> kReasons = {
        {G_TLS_CERTIFICATE_UNKNOWN_CA, "its authority is not trusted"},
        {G_TLS_CERTIFICATE_BAD_IDENTITY, "it is not for this host"},
        {G_TLS_CERTIFICATE_NOT_ACTIVATED, "it is not valid yet"},
        {G_TLS_CERTIFICATE_EXPIRED, "it has expired"},
        {G_TLS_CERTIFICATE_REVOKED, "it has been revoked"},
        {G_TLS_CERTIFICATE_INSECURE, "its algorithm is insecure"},
        {G_TLS_CERTIFICATE_GENERIC_ERROR, "it could not be checked"},
    };
    std::string out;
    for (const auto& [flag, words] : kReasons) {
        if ((flags & flag) == 0) continue;
        if (!out.empty()) out += ", ";
        out += words;
    }
    return out.empty() ? "no reason given" : out;
}
