// Arbitrary bytes as discovery-level and folder lines, and as authentication codes:
//  - the readers of "authenticate", "setverificationcode", "starttls", "identify",
//    "locate", "reboot" and "goodbye" (request and reply), each message built back, and
//    what was read written again through the records the handlers fill;
//  - the readers of "ls", "rls" and "cd": a listing never holds more entries than the
//    bound, its groups add up to its count, and every built line is one line;
//  - the authentication-code check: only 128 characters of the alphabet get past the
//    first step, a proven code is the one composed from its own nonce and key, a code
//    composed from the input's bytes proves its code and no other, and the Base64 test
//    agrees with a plain reading of the alphabet and its padding.
// Whatever is accepted, a built line is empty or one line ending in its only "\n".

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/ZelkorLog.h"
#include "discovery/AuthenticationCode.h"
#include "discovery/Authenticate.h"
#include "discovery/Goodbye.h"
#include "discovery/Identify.h"
#include "discovery/Locate.h"
#include "discovery/Reboot.h"
#include "discovery/SetVerificationCode.h"
#include "discovery/StartTLS.h"
#include "services/FolderNavigationMessages.h"
#include "storage/RequestBound.h"

namespace {

namespace Code = Zelkor::AuthenticationCode;
using Zelkor::Param;

// Small enough for fuzz inputs to reach.
constexpr std::size_t kBound = 16;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkLine(const std::string& line) {
    check(line.empty() || line.find('\n') == line.size() - 1);
}

void checkBuilt(const Zelkor::Message& message) {
    checkLine(message.Build(true));
    checkLine(message.Build(false));
}

// Each reader, as request and as reply; what it took is handed on as the handlers do.
template <class M, class Then>
void throughReaders(const std::string& line, Then then) {
    for (const bool request : {true, false}) {
        M message;
        std::string error;
        if (message.FromNetworkFormat(request, line, error)) {
            checkBuilt(message);
            then(message, request);
        }
    }
}

void none(const Zelkor::Message&, bool) {}

void levelMessages(const std::string& text) {
    throughReaders<Zelkor::Authenticate>(text, [](const Zelkor::Message& read, bool) {
        AuthenticateInfo info;
        info.code = read.GetParamValue(Param::code);
        info.error = read.GetParamValue(Param::error);
        Zelkor::Authenticate again;
        again.SetParams(info);
        checkBuilt(again);
    });
    throughReaders<Zelkor::SetVerificationCode>(text, [](const Zelkor::Message& read, bool) {
        SetVerificationCodeInfo info;
        info.current = read.GetParamValue(Param::current);
        info.newCode = read.GetParamValue(Param::new_);
        info.error = read.GetParamValue(Param::error);
        Zelkor::SetVerificationCode again;
        again.SetParams(info);
        checkBuilt(again);
    });
    throughReaders<Zelkor::StartTLS>(text, none);
    throughReaders<Zelkor::Reboot>(text, none);
    throughReaders<Zelkor::Goodbye>(text, none);
    throughReaders<Zelkor::Identify>(text, [](const Zelkor::Message& read, bool request) {
        IdentifyInfo info;
        info.guid = read.GetParamValue(Param::guid);
        info.mac = read.GetParamValue(Param::mac);
        info.name = read.GetParamValue(Param::name);
        Zelkor::Identify again;
        again.SetParams(info, !request);
        checkBuilt(again);
    });
    throughReaders<Zelkor::Locate>(text, [](const Zelkor::Message& read, bool request) {
        LocateInfo info;
        info.guid = read.GetParamValue(Param::guid);
        info.mac = read.GetParamValue(Param::mac);
        info.name = read.GetParamValue(Param::name);
        info.timeout = read.GetParamValue(Param::timeout);
        Zelkor::Locate again;
        again.SetParams(info, !request);
        checkBuilt(again);
    });
}

template <class L>
void listing(const std::string& text) {
    throughReaders<L>(text, [](const Zelkor::Message& message, bool) {
        const auto& read = static_cast<const L&>(message);
        check(read.EntryCount() <= kBound);
        std::size_t grouped = 0;
        for (const auto& [parent, entries] : read.GetEntries()) {
            grouped += entries.size();
        }
        check(grouped == read.EntryCount());
    });
    // A failed read keeps what it read before the failure, within the bound all the same.
    L partial;
    std::string error;
    partial.FromNetworkFormat(false, text, error);
    check(partial.EntryCount() <= kBound);
}

void folderMessages(const std::string& text) {
    listing<Zelkor::ListFolder>(text);
    listing<Zelkor::RecurseFolder>(text);
    throughReaders<Zelkor::NavigateFolder>(text, [](const Zelkor::Message& read, bool) {
        Zelkor::NavigateFolderInfo info{read.GetParamValue(Param::path), read.GetParamValue(Param::error)};
        Zelkor::NavigateFolder again;
        again.SetParams(info);
        checkBuilt(again);
    });
}

bool inAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// Whole groups of four, the alphabet throughout, up to two "=" at the very end.
bool plainBase64(const std::string& text) {
    if (text.size() % 4 != 0) {
        return false;
    }
    std::size_t body = text.size();
    for (int pad = 0; pad < 2 && body > 0 && text[body - 1] == '='; ++pad) {
        --body;
    }
    for (std::size_t at = 0; at < body; ++at) {
        if (!inAlphabet(text[at])) {
            return false;
        }
    }
    return true;
}

void codes(const std::string& text) {
    check(Code::IsBase64(text) == plainBase64(text));
    const std::string secret = text.substr(0, text.size() / 2);
    const Code::Check checked = Code::Verify(text, secret);
    if (text.size() != Code::TextLength) {
        check(checked.verdict == Code::Verdict::Malformed);
    }
    if (checked.verdict != Code::Verdict::Malformed) {
        check(text.size() == Code::TextLength && Code::IsBase64(text) && checked.nonce.size() == Code::FieldSize);
    }
    if (checked.verdict == Code::Verdict::Proven && checked.kasdor) {
        check(Code::Compose(secret, checked.nonce) == text);
    }
    check(Code::SameSecret(secret, text) == (secret == text));

    // A code composed from the input's bytes: the first 32 the nonce, the next 32 (when
    // there are) the key digest, the rest the verification code.
    std::string nonce = text.substr(0, Code::FieldSize);
    nonce.resize(Code::FieldSize, '\0');
    const std::string key = text.size() >= 2 * Code::FieldSize ? text.substr(Code::FieldSize, Code::FieldSize) : "";
    const std::string code = text.size() > 2 * Code::FieldSize ? text.substr(2 * Code::FieldSize) : text;
    const std::string composed = Code::Compose(code, nonce, key);
    check(composed.size() == Code::TextLength);
    const Code::Check proven = Code::Verify(composed, code);
    check(proven.verdict == Code::Verdict::Proven && proven.nonce == nonce);
    // With the prefix's digest exactly when no other key was given.
    check(proven.kasdor == (composed == Code::Compose(code, nonce)));
    check(Code::Verify(composed, code + "x").verdict == Code::Verdict::WrongProof);
    check(Code::Verify(composed.substr(1), code).verdict == Code::Verdict::Malformed);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ZelkorLog::TheLog().SetLevel(0);
    Zelkor::SetMaxEntriesPerMessage(kBound);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    levelMessages(text);
    folderMessages(text);
    codes(text);
    return 0;
}
