#include "tls_verify.h"

#include <cstdio>
#include <vector>

namespace callctl::tls {

namespace {

constexpr DWORD kIgnoreRevocation = 0x00000080;  // SECURITY_FLAG_IGNORE_REVOCATION (wininet.h)

// Text from a certificate for the log: ASCII as it stands, anything else
// (and control characters) as '?', so a name cannot forge a log line.
std::string printable(const wchar_t *w, size_t n) {
    std::string s;
    s.reserve(n);
    for (size_t i = 0; i < n && w[i]; ++i) s += (w[i] >= 0x20 && w[i] < 0x7f) ? char(w[i]) : '?';
    return s;
}

std::string printable(const std::wstring &w) { return printable(w.data(), w.size()); }

std::wstring widen(const std::string &s) {
    std::wstring w;
    for (unsigned char c : s) w += wchar_t(c);
    return w;
}

std::string subject_of(PCCERT_CONTEXT cert) {
    wchar_t name[256] = {0};
    DWORD n = CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    return n > 1 ? "\"" + printable(name, n - 1) + "\"" : std::string("(no name)");
}

std::string day_of(const FILETIME &ft) {
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st)) return "?";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", unsigned(st.wYear), unsigned(st.wMonth), unsigned(st.wDay));
    return buf;
}

std::string hex(DWORD v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lx", static_cast<unsigned long>(v));
    return buf;
}

// Which certificate of the chain carries `bit`: the first from the server's
// own one upwards.
PCCERT_CONTEXT element_with(PCCERT_CHAIN_CONTEXT chain, DWORD bit) {
    if (!chain->cChain) return nullptr;
    const CERT_SIMPLE_CHAIN *simple = chain->rgpChain[0];
    for (DWORD i = 0; i < simple->cElement; ++i)
        if (simple->rgpElement[i]->TrustStatus.dwErrorStatus & bit) return simple->rgpElement[i]->pCertContext;
    return nullptr;
}

PCCERT_CONTEXT last_element(PCCERT_CHAIN_CONTEXT chain) {
    if (!chain->cChain || !chain->rgpChain[0]->cElement) return nullptr;
    const CERT_SIMPLE_CHAIN *simple = chain->rgpChain[0];
    return simple->rgpElement[simple->cElement - 1]->pCertContext;
}

std::string time_reason(PCCERT_CONTEXT cert, PCCERT_CONTEXT leaf) {
    if (!cert) cert = leaf;
    const std::string who = cert == leaf ? "the server's certificate " + subject_of(cert)
                                         : "the certificate " + subject_of(cert) + " in the server's chain";
    if (CertVerifyTimeValidity(nullptr, cert->pCertInfo) < 0)
        return who + " is not valid yet (from " + day_of(cert->pCertInfo->NotBefore) + ")";
    return who + " expired on " + day_of(cert->pCertInfo->NotAfter);
}

// What the chain's own status says, one phrase per error.
std::vector<std::string> chain_reasons(PCCERT_CHAIN_CONTEXT chain, DWORD status, PCCERT_CONTEXT leaf) {
    std::vector<std::string> out;
    if (status & (CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_CTL_IS_NOT_TIME_VALID))
        out.push_back(time_reason(element_with(chain, CERT_TRUST_IS_NOT_TIME_VALID), leaf));
    if (status & CERT_TRUST_IS_REVOKED) {
        PCCERT_CONTEXT c = element_with(chain, CERT_TRUST_IS_REVOKED);
        out.push_back("the certificate " + subject_of(c ? c : leaf) + " is revoked");
    }
    if (status & CERT_TRUST_IS_PARTIAL_CHAIN) {
        PCCERT_CONTEXT top = last_element(chain);
        wchar_t issuer[256] = {0};
        DWORD n = top ? CertGetNameStringW(top, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr, issuer, 256)
                      : 0;
        out.push_back("untrusted root: the issuer " + (n > 1 ? "\"" + printable(issuer, n - 1) + "\"" : "(no name)") +
                      " of the server's chain is not a certificate authority this computer knows");
    } else if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_EXPLICIT_DISTRUST)) {
        PCCERT_CONTEXT top = last_element(chain);
        out.push_back("untrusted root: the server's chain ends at " + (top ? subject_of(top) : "(no certificate)") +
                      ", which this computer does not trust");
    }
    if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) out.push_back("a signature in the server's chain does not verify");
    if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) out.push_back("the certificate is not for server authentication");
    if (status & CERT_TRUST_IS_CYCLIC) out.push_back("the server's chain is cyclic");
    if (status & (CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT |
                  CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT | CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT))
        out.push_back("the server's chain breaks a name constraint of its issuer");
    if (status & CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT)
        out.push_back("a certificate in the server's chain has a critical extension we do not know");
    if (out.empty()) out.push_back("the server's chain is not valid (chain status " + hex(status) + ")");
    return out;
}

// An IPv4 or IPv6 literal: CryptoAPI matches server names against DNS
// names (Wine never against the certificate's IP addresses).
bool is_address(const std::string &name) {
    if (name.find(':') != std::string::npos) return true;
    return !name.empty() && name.find_first_not_of("0123456789.") == std::string::npos;
}

std::string policy_reason(DWORD error, PCCERT_CONTEXT leaf, const std::string &server_name) {
    switch (error) {
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
        return "wrong name: the server's certificate is for " + certificate_names(leaf) + ", not for " + server_name +
               (is_address(server_name) ? " (an address: the server must be named by its DNS name)" : "");
    case static_cast<DWORD>(CERT_E_EXPIRED):
        return time_reason(leaf, leaf);
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
        return "untrusted root: the server's chain does not end at a certificate authority this computer trusts";
    case static_cast<DWORD>(CRYPT_E_REVOKED):
        return "the server's certificate is revoked";
    case static_cast<DWORD>(CERT_E_WRONG_USAGE):
        return "the certificate is not for server authentication";
    default:
        return "the server's certificate does not pass the SSL policy (" + hex(error) + ")";
    }
}

std::string join(const std::vector<std::string> &parts) {
    std::string s;
    for (const auto &p : parts) s += (s.empty() ? "" : "; ") + p;
    return s;
}

}  // namespace

std::string certificate_names(PCCERT_CONTEXT cert) {
    std::vector<std::string> names;
    PCERT_EXTENSION ext =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
    CERT_ALT_NAME_INFO *alt = nullptr;
    DWORD size = 0;
    if (ext && CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                                   CRYPT_DECODE_ALLOC_FLAG, nullptr, &alt, &size)) {
        for (DWORD i = 0; i < alt->cAltEntry; ++i) {
            const CERT_ALT_NAME_ENTRY &e = alt->rgAltEntry[i];
            if (e.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && e.pwszDNSName) {
                names.push_back(printable(std::wstring(e.pwszDNSName)));
            } else if (e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == 4) {
                const BYTE *b = e.IPAddress.pbData;
                names.push_back(std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
                                std::to_string(b[3]));
            }
        }
        LocalFree(alt);
    }
    if (names.empty()) {
        wchar_t cn[256] = {0};
        DWORD n = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char *>(szOID_COMMON_NAME), cn, 256);
        if (n > 1) names.push_back(printable(cn, n - 1));
    }
    if (names.empty()) return "no name at all";
    std::string s;
    for (const auto &n : names) s += (s.empty() ? "" : ", ") + n;
    return s;
}

std::string verify_server_certificate(PCCERT_CONTEXT cert, const std::string &server_name) {
    if (!cert) return "the server sent no certificate";
    LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    // Nothing from the network: no missing issuers, no revocation lists.
    const DWORD flags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                        CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &para, flags, nullptr, &chain))
        return "the server's certificate chain could not be built (error " + std::to_string(GetLastError()) + ")";

    std::wstring wname = widen(server_name);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbStruct = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    // The policy leaves revocation to the chain status below: Wine's SSL
    // policy fails a chain whose revocation status is merely unknown, and
    // takes no CERT_CHAIN_POLICY_IGNORE_*_REV_UNKNOWN flag for it.
    ssl.fdwChecks = kIgnoreRevocation;
    ssl.pwszServerName = &wname[0];
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS result{};
    result.cbSize = sizeof result;
    std::vector<std::string> reasons;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result))
        reasons.push_back("the SSL policy could not be applied (error " + std::to_string(GetLastError()) + ")");

    // Revocation that could not be checked is no error (see the header);
    // every other bit of the chain's status is.
    const DWORD status = chain->TrustStatus.dwErrorStatus &
                         ~DWORD(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (status) {
        for (auto &r : chain_reasons(chain, status, cert)) reasons.push_back(r);
        if (result.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
            reasons.insert(reasons.begin(), policy_reason(result.dwError, cert, server_name));
    } else if (result.dwError) {
        reasons.push_back(policy_reason(result.dwError, cert, server_name));
    }
    CertFreeCertificateChain(chain);
    return join(reasons);
}

}  // namespace callctl::tls
