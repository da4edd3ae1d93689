#pragma once
// Plain records that the discovery-level handlers fill from their messages and hand to
// the application's callbacks, and that the application fills to send a request.
//
// Ownership: values; the application owns the copies it receives by reference. Threads:
// none of their own.

#include <cstdint>
#include <string>

#include <boost/asio/ip/address.hpp>

// An "authenticate" exchange: the code sent or received and the outcome.
struct AuthenticateInfo {
    // Controller side before composing: the verification code to prove; otherwise the
    // message's "code".
    std::string code;
    // The message's "error"; on the device side the outcome ("Authentication Failed" or
    // empty).
    std::string error;
    // Controller side, in a reply: the GUID of the device that answered ("" when the
    // connection belongs to no device yet), so that an application can tell whose
    // refusal it is.
    std::string guid;
    // Set by the device object's Authenticate, with the number of requests it sent.
    bool sent = false;
    std::uint64_t count = 0;
};

// An "identify" request (reply false) or reply (true).
struct IdentifyInfo {
    bool reply = false;
    std::string guid;
    std::string mac;
    std::string name;
    // The "ip" given, or the requester's address.
    boost::asio::ip::address ip;
    std::uint16_t port = 0;
    // A reply's "error": a refusal, or the connection lost before the reply came.
    std::string error{};
};

// A "locate" request or reply: the fields of an identify exchange and the time-out text.
struct LocateInfo {
    bool reply = false;
    std::string guid;
    std::string mac;
    std::string name;
    std::string timeout;
    boost::asio::ip::address ip;
    std::uint16_t port = 0;
    // A reply's "error", as for an identify.
    std::string error{};
};

// A "reboot" request being handled (reply false) or a reply (true).
struct RebootInfo {
    bool reply = false;
    // The sender's GUID; empty when none is found.
    std::string guid;
    std::string mac;
    // A refusal the application may set (request), or the reply's "error".
    std::string error;
};

// A "setverificationcode" exchange; codes travel as Base64 text.
struct SetVerificationCodeInfo {
    std::string current;
    // Empty clears the code.
    std::string newCode;
    std::string error;
    // Set by the device object when it sends the request.
    bool sent = false;
};

// A "starttls" request (this node becomes the TLS server) or reply (the client).
struct StartTLSInfo {
    bool request = false;
    // The message's "error"; the device side may set it to refuse.
    std::string error;
};
