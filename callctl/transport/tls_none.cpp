// TLS in the native build: there is none (the program and its SChannel
// sessions are Windows only); a connection that needs TLS cannot be made.
#include "tls.h"

namespace callctl::tls {

Session::~Session() = default;

std::unique_ptr<Session> Session::client(const std::string &) { return nullptr; }

}  // namespace callctl::tls
