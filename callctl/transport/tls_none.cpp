// Builds without TLS (the native one): no session can be made.
#include "tls.h"

namespace callctl::tls {

std::unique_ptr<Session> Session::client(const std::string &) { return nullptr; }

}  // namespace callctl::tls
