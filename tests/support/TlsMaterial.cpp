#include "support/TlsMaterial.h"

#include <stdexcept>
#include <string>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace ZelkorTest {

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* object) const { Free(object); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("TLS material: ") + what + " failed");
    }
}

struct TlsMaterial {
    KeyPtr key;
    CertPtr cert;
};

// A fresh key and a certificate for "zelkor-test", valid from now for 30 days.
TlsMaterial GenerateTlsMaterial() {
    TlsMaterial material{KeyPtr(EVP_RSA_gen(2048)), CertPtr(X509_new())};
    EVP_PKEY* key = material.key.get();
    X509* cert = material.cert.get();
    check(key != nullptr, "RSA key generation");
    check(cert != nullptr, "certificate allocation");
    check(X509_set_version(cert, 2) == 1, "version");
    check(ASN1_INTEGER_set(X509_get_serialNumber(cert), 1) == 1, "serial number");
    check(X509_gmtime_adj(X509_getm_notBefore(cert), 0) != nullptr, "start time");
    check(X509_gmtime_adj(X509_getm_notAfter(cert), 30L * 24 * 3600) != nullptr, "end time");
    check(X509_set_pubkey(cert, key) == 1, "public key");
    X509_NAME* name = X509_get_subject_name(cert);
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("zelkor-test"),
                                     -1, -1, 0) == 1,
          "subject");
    check(X509_set_issuer_name(cert, name) == 1, "issuer");
    check(X509_sign(cert, key, EVP_sha256()) > 0, "signature");
    return material;
}

}  // namespace

void LoadTlsMaterial(boost::asio::ssl::context& context) {
    static const TlsMaterial material = GenerateTlsMaterial();
    check(SSL_CTX_use_certificate(context.native_handle(), material.cert.get()) == 1, "certificate");
    check(SSL_CTX_use_PrivateKey(context.native_handle(), material.key.get()) == 1, "key");
}

std::unique_ptr<boost::asio::ssl::context> MakeTlsContext() {
    auto context = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls);
    context->set_options(boost::asio::ssl::context::default_workarounds | boost::asio::ssl::context::no_sslv2 |
                         boost::asio::ssl::context::no_sslv3 | boost::asio::ssl::context::no_tlsv1 |
                         boost::asio::ssl::context::no_tlsv1_1);
    LoadTlsMaterial(*context);
    return context;
}

}  // namespace ZelkorTest
