#include "Credentials.h"

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace ZelkorNode {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* object) const { Free(object); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;

// The file of `option` in memory; false, with `error` set, when it cannot be read.
bool readFile(const std::string& option, const std::string& path, std::string& content, std::string& error) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    content.clear();
    if (file) {
        char chunk[4096];
        for (std::size_t count; (count = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) {
            content.append(chunk, count);
        }
    }
    if (!file || std::ferror(file.get())) {
        error = "cannot read " + option + " " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

Bio memory(const std::string& content) { return Bio(BIO_new_mem_buf(content.data(), static_cast<int>(content.size()))); }

}  // namespace

bool CheckCredentials(const Options& options, std::string& error) {
    if (options.cert.empty() != options.key.empty()) {
        error = options.cert.empty() ? "--key needs --cert" : "--cert needs --key";
        return false;
    }
    std::string content;
    Certificate certificate;
    if (!options.cert.empty()) {
        if (!readFile("--cert", options.cert, content, error)) {
            return false;
        }
        certificate.reset(PEM_read_bio_X509(memory(content).get(), nullptr, nullptr, nullptr));
        if (!certificate) {
            error = "--cert " + options.cert + " holds no PEM certificate";
            return false;
        }
        if (!readFile("--key", options.key, content, error)) {
            return false;
        }
        const Key key(PEM_read_bio_PrivateKey(memory(content).get(), nullptr, nullptr, nullptr));
        if (!key) {
            error = "--key " + options.key + " holds no PEM private key (or one behind a pass phrase)";
            return false;
        }
        if (X509_check_private_key(certificate.get(), key.get()) != 1) {
            error = "--key " + options.key + " does not match --cert " + options.cert;
            return false;
        }
    }
    if (!options.dh.empty()) {
        if (!readFile("--dh", options.dh, content, error)) {
            return false;
        }
        const Key parameters(PEM_read_bio_Parameters(memory(content).get(), nullptr));
        if (!parameters || !(EVP_PKEY_is_a(parameters.get(), "DH") || EVP_PKEY_is_a(parameters.get(), "DHX"))) {
            error = "--dh " + options.dh + " holds no PEM Diffie-Hellman parameters";
            return false;
        }
    }
    return true;
}

}  // namespace ZelkorNode
