#pragma once
// The driver's TLS material and level: certificate, private key and Diffie-Hellman
// parameters as PEM texts or files. Handed out by IZelkorDriver::GetCryptoInfo.
//
// Ownership: the driver implements it; the application never deletes it. Threads: set
// before Run.

#include <string>

namespace Zelkor {

class ICryptoInfo {
public:
    virtual ~ICryptoInfo() = default;
    virtual const std::string& GetCert() = 0;
    virtual const std::string& GetKey() = 0;
    virtual const std::string& GetDHParams() = 0;
    virtual void SetCert(std::string& pem) = 0;
    virtual void SetKey(std::string& pem) = 0;
    virtual void SetDHParams(std::string& pem) = 0;
    // 0: no "starttls" after connecting.
    virtual unsigned long GetTlsLevel() = 0;
    virtual void SetCertFile(std::string& path) = 0;
    virtual void SetKeyFile(std::string& path) = 0;
    virtual void SetDHParamsFile(std::string& path) = 0;
    virtual void SetTlsLevel(unsigned long level) = 0;
};

}  // namespace Zelkor
