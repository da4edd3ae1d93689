#include "driver/SelfSignedCertificate.h"

#include <array>
#include <memory>
#include <utility>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace Zelkor {

namespace {

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* object) const {
        Free(object);
    }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;

// The subject's fixed entries: plain texts of this library's own, naming nobody.
const std::array<std::pair<const char*, const char*>, 7> kSubject = {{
    {"C", "ZZ"},
    {"ST", "Unspecified"},
    {"L", "Unspecified"},
    {"O", "Zelkor"},
    {"OU", "Zelkor node"},
    {"OU", "Self-signed"},
    {"OU", "Generated"},
}};

bool addEntry(X509_NAME* name, const char* field, const std::string& text) {
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC, reinterpret_cast<const unsigned char*>(text.c_str()),
                                      -1, -1, 0) == 1;
}

bool setFields(X509* certificate, EVP_PKEY* key, const std::string& commonName) {
    if (ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1) != 1 ||
        !X509_gmtime_adj(X509_getm_notBefore(certificate), 0) ||
        !X509_gmtime_adj(X509_getm_notAfter(certificate), SelfSignedCertificate::Validity) ||
        X509_set_pubkey(certificate, key) != 1) {
        return false;
    }
    X509_NAME* subject = X509_get_subject_name(certificate);
    for (const auto& [field, text] : kSubject) {
        if (!addEntry(subject, field, text)) {
            return false;
        }
    }
    return addEntry(subject, "CN", commonName) && X509_set_issuer_name(certificate, subject) == 1;
}

// The whole content of a memory stream.
std::string textOf(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

}  // namespace

SelfSignedCertificate::Failure SelfSignedCertificate::Generate(const std::string& commonName, std::string& keyPem,
                                                               std::string& certificatePem) {
    const KeyPtr key(EVP_RSA_gen(KeyBits));
    if (!key) {
        return Failure::Key;
    }
    const BioPtr keyText(BIO_new(BIO_s_mem()));
    if (!keyText || PEM_write_bio_PrivateKey_traditional(keyText.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                                         nullptr) != 1) {
        return Failure::KeyText;
    }
    const CertificatePtr certificate(X509_new());
    if (!certificate) {
        return Failure::Certificate;
    }
    if (!setFields(certificate.get(), key.get(), commonName)) {
        return Failure::Fields;
    }
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0) {
        return Failure::Signature;
    }
    const BioPtr certificateText(BIO_new(BIO_s_mem()));
    if (!certificateText || PEM_write_bio_X509(certificateText.get(), certificate.get()) != 1) {
        return Failure::CertificateText;
    }
    std::string newKey = textOf(keyText.get());
    std::string newCertificate = textOf(certificateText.get());
    keyPem = std::move(newKey);
    certificatePem = std::move(newCertificate);
    return Failure::None;
}

}  // namespace Zelkor
