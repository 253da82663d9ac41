#pragma once

#include "channel.h"

#include <memory>
#include <string>

namespace orvendal::web {

// TLS 1.2 or later with the certificate chain and key in these PEM files (OpenSSL), loaded once
// at start. Throws Error naming the file OpenSSL refused and why.
std::shared_ptr<TlsAcceptor> loadTls(const std::string& certFile, const std::string& keyFile);

} // namespace orvendal::web
