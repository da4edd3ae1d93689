#pragma once
// TLS material made inside the test process, once per process: an RSA 2048 key and a
// self-signed SHA-256 certificate for "zelkor-test", and TLS contexts loaded with them.

#include <memory>

#include <boost/asio/ssl/context.hpp>

namespace ZelkorTest {

// Loads the process's certificate and key into `context`. Throws std::runtime_error when
// the crypto library fails.
void LoadTlsMaterial(boost::asio::ssl::context& context);

// A context for TLS 1.2 and later loaded with the process's certificate and key.
std::unique_ptr<boost::asio::ssl::context> MakeTlsContext();

}  // namespace ZelkorTest
