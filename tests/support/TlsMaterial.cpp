#include "support/TlsMaterial.h"

#include <stdexcept>
#include <string>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace ZelkorTest {

namespace {

struct TlsMaterial {
    std::string certificatePem;
    std::string privateKeyPem;
};

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* object) const { Free(object); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("TLS material: ") + what + " failed");
    }
}

std::string drain(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

// A fresh key and a certificate valid from now for 30 days.
TlsMaterial GenerateTlsMaterial(const std::string& commonName) {
    KeyPtr key(EVP_RSA_gen(2048));
    check(key != nullptr, "RSA key generation");

    CertPtr cert(X509_new());
    check(cert != nullptr, "certificate allocation");
    check(X509_set_version(cert.get(), 2) == 1, "version");
    check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1) == 1, "serial number");
    check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr, "start time");
    check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600) != nullptr, "end time");
    check(X509_set_pubkey(cert.get(), key.get()) == 1, "public key");
    X509_NAME* name = X509_get_subject_name(cert.get());
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
          "subject");
    check(X509_set_issuer_name(cert.get(), name) == 1, "issuer");
    check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signature");

    TlsMaterial material;
    BioPtr certBio(BIO_new(BIO_s_mem()));
    check(certBio && PEM_write_bio_X509(certBio.get(), cert.get()) == 1, "certificate PEM");
    material.certificatePem = drain(certBio.get());
    BioPtr keyBio(BIO_new(BIO_s_mem()));
    check(keyBio && PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "key PEM");
    material.privateKeyPem = drain(keyBio.get());
    return material;
}

}  // namespace

void LoadTlsMaterial(boost::asio::ssl::context& context) {
    static const TlsMaterial material = GenerateTlsMaterial("zelkor-test");
    context.use_certificate_chain(boost::asio::buffer(material.certificatePem));
    context.use_private_key(boost::asio::buffer(material.privateKeyPem), boost::asio::ssl::context::pem);
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
