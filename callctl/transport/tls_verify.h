// The server certificate check of the SChannel sessions (Windows only):
// the chain the server sent, built to a root of this computer's store by
// CryptoAPI, then judged twice, and both judgements must pass:
//   - the SSL policy for the server's DNS name (name, dates, usage, chain);
//   - the chain's own trust status, every error bit of it. Some CryptoAPI
//     implementations (Wine 8) pass an unknown root under the SSL policy
//     and report it only in the chain status.
// Revocation is checked from what this computer has at hand (no lists are
// fetched from the network on the connection's thread): a certificate known
// to be revoked fails, one whose status is unknown passes.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace callctl::tls {

// Empty when `cert` (with the certificates the server sent beside it in its
// store) proves `server_name`; otherwise why not, in words for the log.
std::string verify_server_certificate(PCCERT_CONTEXT cert, const std::string &server_name);

// The names a certificate is valid for: its DNS (and IP) subject
// alternative names, or its common name when it has none. "a, b".
std::string certificate_names(PCCERT_CONTEXT cert);

}  // namespace callctl::tls
