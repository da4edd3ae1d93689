// The TLS material: the certificate, key and Diffie-Hellman parameters the application
// gives as texts or files, the self-signed pair generated when it gives no complete one,
// and their loading into the driver's one TLS context.
//
// The texts are read and replaced under one lock, so a reader never sees a key of one
// pair beside the certificate of another; generation works on its own copies and
// replaces both texts only once both are made.

#include <fstream>
#include <sstream>

#include <boost/asio/buffer.hpp>

#include "driver/SelfSignedCertificate.h"
#include "driver/ZelkorDriver.h"

namespace Zelkor {

namespace {

// The whole file, or "" when it cannot be read.
std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "";
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

std::string ZelkorDriver::GetCert() {
    std::lock_guard<std::mutex> lock(_cryptoMutex);
    return _cert;
}

std::string ZelkorDriver::GetKey() {
    std::lock_guard<std::mutex> lock(_cryptoMutex);
    return _key;
}

std::string ZelkorDriver::GetDHParams() {
    std::lock_guard<std::mutex> lock(_cryptoMutex);
    return _dhParams;
}

void ZelkorDriver::SetCert(std::string& pem) {
    std::lock_guard<std::mutex> lock(_cryptoMutex);
    _cert = pem;
}

void ZelkorDriver::SetKey(std::string& pem) {
    std::lock_guard<std::mutex> lock(_cryptoMutex);
    _key = pem;
}

void ZelkorDriver::SetDHParams(std::string& pem) {
    std::lock_guard<std::mutex> lock(_cryptoMutex);
    _dhParams = pem;
}

void ZelkorDriver::applyFile(const std::string& path, std::string& text, const char* warning) {
    if (path.empty()) {
        return;
    }
    std::string content = readFile(path);
    const bool empty = content.empty();
    {
        std::lock_guard<std::mutex> lock(_cryptoMutex);
        text = std::move(content);
    }
    if (empty) {
        Warning(warning, path);
    }
}

void ZelkorDriver::SetCertFile(std::string& path) { applyFile(path, _cert, "ZK7832W Unable to apply cert from file"); }

void ZelkorDriver::SetKeyFile(std::string& path) { applyFile(path, _key, "ZK7833W Unable to apply key from file"); }

void ZelkorDriver::SetDHParamsFile(std::string& path) {
    applyFile(path, _dhParams, "ZK7834W Unable to apply DH params from file");
}

void ZelkorDriver::InitCrypto() {
    // Run and a Listen on an application thread may both get here: one generates, the
    // other then finds the pair.
    std::lock_guard<std::mutex> once(_cryptoInitMutex);
    {
        std::lock_guard<std::mutex> lock(_cryptoMutex);
        if (!_key.empty() && !_cert.empty()) {
            return;
        }
    }
    const auto current = discovery();
    if (!current) {
        Warning("ZK7835W No discovery service");
        return;
    }
    const std::string guid = current->GUID();
    if (guid.empty()) {
        Warning("ZK7836W GUID is not a valid string");
        return;
    }
    std::string key;
    std::string certificate;
    switch (SelfSignedCertificate::Generate(guid, key, certificate)) {
    case SelfSignedCertificate::Failure::None:
        break;
    case SelfSignedCertificate::Failure::Key:
        Warning("ZK7838W Unable to generate RSA key");
        return;
    case SelfSignedCertificate::Failure::KeyText:
        Warning("ZK78FBW Unable to write private key");
        return;
    case SelfSignedCertificate::Failure::Certificate:
        Warning("ZK7844W Unable to allocate certificate");
        return;
    case SelfSignedCertificate::Failure::Fields:
        Warning("ZK78FAW Unable to set certificate fields", guid);
        return;
    case SelfSignedCertificate::Failure::Signature:
        Warning("ZK7845W Unable to sign certificate");
        return;
    case SelfSignedCertificate::Failure::CertificateText:
        Warning("ZK78FCW Unable to write certificate");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(_cryptoMutex);
        _key = std::move(key);
        _cert = std::move(certificate);
    }
    Info("ZK7850I Certificate and key automatically generated");
}

void ZelkorDriver::InitSSLContext() {
    std::string certificate;
    std::string key;
    std::string dhParams;
    {
        std::lock_guard<std::mutex> lock(_cryptoMutex);
        certificate = _cert;
        key = _key;
        dhParams = _dhParams;
    }
    if (certificate.empty()) {
        Summary("ZK7851I TLS certificate not provisioned");
        return;
    }
    if (key.empty()) {
        Summary("ZK7852I TLS key not provisioned");
        return;
    }
    boost::system::error_code error;
    _sslContext.use_certificate_chain(boost::asio::buffer(certificate), error);
    if (error) {
        Error("ZK7853I TLS certificate provisioning failed", error.message());
        return;
    }
    _sslContext.use_private_key(boost::asio::buffer(key), boost::asio::ssl::context::pem, error);
    if (error) {
        Error("ZK7854I TLS key provisioning failed", error.message());
        return;
    }
    if (!dhParams.empty()) {
        _sslContext.use_tmp_dh(boost::asio::buffer(dhParams), error);
        if (error) {
            Error("ZK7855I TLS DH params provisioning failed", error.message());
            return;
        }
    }
    _sslContext.set_options(boost::asio::ssl::context::default_workarounds, error);
}

}  // namespace Zelkor
