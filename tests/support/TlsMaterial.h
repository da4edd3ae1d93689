#pragma once
// TLS material made inside the test process: an RSA 2048 key and a self-signed SHA-256
// certificate, in PEM text, and TLS contexts loaded with them.

#include <memory>
#include <string>

#include <boost/asio/ssl/context.hpp>

namespace ZelkorTest {

struct TlsMaterial {
    std::string certificatePem;
    std::string privateKeyPem;
};

// A fresh key and certificate for `commonName`, valid from now for `days` days (a
// negative count gives one that has already expired). Throws std::runtime_error when
// the crypto library fails.
TlsMaterial GenerateTlsMaterial(const std::string& commonName, long days = 30);

// One material per process, generated on first use.
const TlsMaterial& SharedTlsMaterial();

// Loads `material` into `context` as its certificate and key.
void LoadTlsMaterial(boost::asio::ssl::context& context, const TlsMaterial& material = SharedTlsMaterial());

// A context for TLS 1.2 and later loaded with `material`.
std::unique_ptr<boost::asio::ssl::context> MakeTlsContext(const TlsMaterial& material = SharedTlsMaterial());

}  // namespace ZelkorTest
