#pragma once
// The driver's TLS material and level: certificate, private key and Diffie-Hellman
// parameters as PEM texts or files. Handed out by IZelkorDriver::GetCryptoInfo.
//
// Ownership: the driver implements it; the application never deletes it.
// Threads: any thread. The texts are guarded together and the getters return copies, so
// a text read while the driver generates its material is the old one or the new one,
// whole. Material set after Run has started is loaded by the next Run.

#include <string>

namespace Zelkor {

class ICryptoInfo {
public:
    virtual ~ICryptoInfo() = default;
    virtual std::string GetCert() = 0;
    virtual std::string GetKey() = 0;
    virtual std::string GetDHParams() = 0;
    // Replace the text as given; nothing checks it before it is loaded.
    virtual void SetCert(std::string& pem) = 0;
    virtual void SetKey(std::string& pem) = 0;
    virtual void SetDHParams(std::string& pem) = 0;
    // 0: no "starttls" after connecting.
    virtual unsigned long GetTlsLevel() = 0;
    // Replace the text with the whole file; an empty path changes nothing, a file that
    // cannot be read empties the text (and is logged).
    virtual void SetCertFile(std::string& path) = 0;
    virtual void SetKeyFile(std::string& path) = 0;
    virtual void SetDHParamsFile(std::string& path) = 0;
    virtual void SetTlsLevel(unsigned long level) = 0;
    // The strict rule for a node that holds a verification code, off by default: on a
    // plain connection a peer may then only reach TLS and find the node ("starttls",
    // "disco", "goodbye", replies, and on a connection this node opened the notices of the
    // device it reached); everything else is answered "Requires encrypted connection", and
    // datagrams other than "disco" requests and replies are dropped. Off, a code guards
    // secured connections only, which controllers that never secure rely on.
    virtual void SetRequireTls(bool on) = 0;
    virtual bool GetRequireTls() = 0;
};

}  // namespace Zelkor
