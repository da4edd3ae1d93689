#pragma once
// A node's own TLS identity when the application gives none: a fresh RSA key and a
// self-signed certificate whose common name is the node's GUID, both as PEM texts.
//
// Ownership: plain values; every OpenSSL object lives only inside the call.
// Threads: any thread; nothing is shared between calls.

#include <string>

namespace Zelkor {

struct SelfSignedCertificate {
    // The step that failed, in the order the generation takes them.
    enum class Failure {
        None,
        Key,            // the RSA key could not be generated
        KeyText,        // the key could not be written as PEM
        Certificate,    // no certificate object
        Fields,         // serial, validity, public key, subject or issuer refused
        Signature,      // signing refused
        CertificateText,  // the certificate could not be written as PEM
    };

    // Seconds from generation to the end of validity: ten years of 365.25 days.
    static constexpr long Validity = 315576000;
    static constexpr int KeyBits = 2048;

    // RSA key, exponent 65537; serial 1; valid from now for Validity; subject and issuer
    // C, ST, L, O, three OU and CN = `commonName`; signed with SHA-256. The key text is
    // an unencrypted PKCS #1 PEM ("RSA PRIVATE KEY"). On failure the outputs are left
    // as they were. A common name longer than 64 characters is refused (Fields).
    static Failure Generate(const std::string& commonName, std::string& keyPem, std::string& certificatePem);
};

}  // namespace Zelkor
