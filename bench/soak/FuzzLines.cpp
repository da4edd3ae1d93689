#include "FuzzLines.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "Json.h"

namespace ZelkorSoak {
namespace {

// A well-formed line of each word, its body's "$kind" texts filled from the run's own
// words (see LineMaker::token). Replies are here too: a node must bear replies it never
// asked for.
const char* const kSeeds[] = {
    R"(get [{"path":"$path"},{"path":"$path"}])",
    R"(get {"path":"$path","format":"$format"})",
    R"(set {"path":"$path","value":"$value"})",
    R"(set [{"path":"$path","format":"$format","value":"$value"},{"path":"$path","value":"$value"}])",
    R"(set {"path":"$size-path","value":"$size"})",
    R"(subscribe [{"path":"$path"},{"path":"$path"}])",
    R"(subscribe {"path":"$path","format":"$format"})",
    "unsubscribe",
    R"(unsubscribe {"path":"$path"})",
    R"(publish {"format":"$format","path":"$path","value":"$value"})",
    R"(subscribepoll {"format":"$format","name":"$name","targets":["$path","$path"]})",
    R"(poll {"name":"$name"})",
    R"(unsubscribepoll {"name":"$name"})",
    R"(sublog {"mark":"$mark","priority":"$priority"})",
    "unsublog",
    R"(log {"category":"$text","event":"$text","priority":"$priority","seqno":"$count","time":"$time"})",
    R"(subscribeevent {"path":"$path"})",
    R"(unsubscribeevent {"path":"$path"})",
    R"(event {"arguments":{"$key":"$text"},"path":"$path"})",
    R"(exec {"arguments":{"$key":"$text","$key":"$text"},"command":"$command","path":"$path","requestid":"$name"})",
    R"(exec {"arguments":["$text","$text"],"command":"$command"})",
    R"(exec {"arguments":"$text","command":"$command"})",
    "getdevicestate",
    "getpresetinfo",
    R"(setip {"mac":"$mac","dhcp":"$bool","ip":"$ip","subnetmask":"255.0.0.0","gateway":"$ip"})",
    R"(putfile {"blocksize":"$size","length":"$size","path":"$file","state":"begin"})",
    R"(block {"blockno":"$blockno","data":"$b64"})",
    R"(putfile {"state":"end","length":"$size","checksum":"$md5"})",
    "cancelputfile",
    R"(getfile {"blocksize":"$size","path":"$file","state":"begin"})",
    R"(@block {"blockno":"$blockno"})",
    R"(@getfile {"blocksize":"$size","length":"$size","state":"begin"})",
    R"(listfiles {"path":"$file"})",
    R"(mkdir {"path":"$file"})",
    R"(rmdir {"path":"$file"})",
    R"(deletefile {"path":"$file"})",
    R"(freespace {"path":"$file"})",
    R"(fwupdate {"arguments":"$text"})",
    R"(ls {"path":"$path"})",
    R"(rls {"path":"$path"})",
    R"(cd {"path":"$path"})",
    R"(list {"command":"$list"})",
    R"(locate {"guid":"$guid","name":"$name","timeout":"$count"})",
    R"(identify {"guid":"$guid"})",
    R"(reboot {"mac":"$mac"})",
    R"(disco {"params":["classname","guid","ip","name","port"],"replyport":"$port"})",
    R"(@disco {"classname":"soak","guid":"$guid","ip":"$ip","mac":"$mac","mode":"$mode","name":"$name","port":"$port","protocolversion":"1.16.1.26"})",
    "senddisco {}",
    R"(goodbye {"reason":"$text"})",
    R"(setverificationcode {"current":"$b64","new":"$b64"})",
    "starttls {}",
    R"(authenticate {"code":"$proof"})",
    R"(@get [{"path":"$path","value":"$value"}])",
    R"(@set {"path":"$path","value":"$value"})",
    R"(@subscribe {"path":"$path","value":"$value"})",
    R"(@exec {"result":"$text","status":"true"})",
    "@publish",
    R"(@log {})",
    R"(@authenticate {"error":"$text"})",
    R"(@locate {"guid":"$guid","mac":"$mac","name":"$name","ip":"$ip","port":"$port"})",
    R"(@reboot {"mac":"$mac","error":"$text"})",
    R"(error {"message":"$text"})",
    R"(@error {"message":"Message is misrouted"})",
    R"(hello {"$key":"$text"})",
};

const char* const kFormats[] = {"variant", "number", "string", "norm", "block", "number(2)", "norm(0,1)"};
const char* const kOddFormats[] = {"", "xyz", "number(999999)", "number(-1)", "norm(", "VARIANT", "number(2"};
const char* const kTexts[] = {"amp on", "heatsink", "shutdown", "a", "busy", "power", "x y z", "\"quoted\""};
const char* const kKeys[] = {"channel", "gain", "sensor", "a", "b"};
const char* const kCommands[] = {"echo", "fail", "throw", "unknown"};
const char* const kListOptions[] = {"discovered", "publishers", "presets"};
const char* const kModes[] = {"device", "router", "controller"};
const char* const kMacs[] = {"00:00:00:00:00:00", "02:00:00:00:0a:01"};
const char* const kPollNames[] = {"meters", "p1", "p2", "p3"};
// Members a mutation may add: names the words know, in any body.
const char* const kMembers[] = {"path",  "value", "format",    "name",  "targets", "arguments", "command",
                                "mark",  "priority", "blockno", "data",  "state",   "length",    "blocksize",
                                "checksum", "guid", "mac",      "error", "params",  "requestid", "timeout",
                                "seqno", "time",  "category",  "event", "code",    "current",   "new"};
// Suffixes a tree path may grow.
const char* const kPathTails[] = {"/.size", "/0", "/1", "/99999", "/4294967296", "/.flags", "/.min", "/.value",
                                  "/x",     "/..", "/.",  "//",     "/-1"};
const std::int64_t kOddNumbers[] = {0, -1, 1, 2, 255, 256, 65535, 65536, 2147483647, 2147483648LL,
                                    4294967295LL, 4294967296LL, 9007199254740993LL,
                                    std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()};
const char* const kOddNumberTexts[] = {"99999999999999999999999", "1e400", "-0", "0x10", " 5", "5 ", "NaN", "1.5",
                                       "-1", "", "18446744073709551616"};

std::string base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::string sha256(const std::string& bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

const char* const kValues[] = {"-6", "0.5", "Main", "true", "3", "AAECAwQ=", "soak", ""};
const char* const kOddIps[] = {"127.0.0.2", "::1", "", "not-an-ip"};
const char* const kSizes[] = {"512", "4", "65536", "2000", "3"};
const char* const kCounts[] = {"1", "5", "100"};
const char* const kMarks[] = {"-2", "-10", "1", "0"};
const char* const kOddNames[] = {"", "a b", "a&b", "[x]", "@", "x]", "-", ".", "_"};
const char* const kOddHashes[] = {"-", "x-1234", "99999999999999999999-zzzz", "12", "7-", "-abcd"};
const char* const kGarbage[] = {"}", "]", " x", "{", ",", "\"", " {\"a\":1}"};
const char* const kOddTexts[] = {"null", "true", "{}", "[]", "\\", "\"", "%s%n", "\xc3\xa9t\xc3\xa9"};
const char* const kOddPaths[] = {"", "/", "//", "/..", "relative", ".size", "/.size"};
const std::size_t kLengths[] = {63, 64, 255, 256, 1024, 4096, 16384};
const double kOddReals[] = {1e308, -1e308, 0.5, 1e-300, -0.0, 3.25};
// Tokens whose value goes as a number half the time.
const char* const kNumeric[] = {"size", "count", "blockno", "mark", "priority", "time", "port"};

}  // namespace

LineMaker::LineMaker(FuzzWords words, const HostGuard& guard, std::mt19937_64& random)
    : _words(std::move(words)), _guard(guard), _random(random) {
    if (_words.nodeNames.empty()) {
        _words.nodeNames.push_back("node");
    }
    if (_words.treePaths.empty()) {
        _words.treePaths.push_back("/configuration/device/name");
    }
    _words.guids.push_back("5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13");
    for (const char* seed : kSeeds) {
        const std::string text = seed;
        const auto blank = text.find(' ');
        Seed parsed{text.substr(0, blank), Json::Value()};
        if (blank != std::string::npos) {
            parsed.body = ParseValue(text.substr(blank + 1));
        }
        _seeds.push_back(std::move(parsed));
        std::string bare = _seeds.back().word;
        if (bare[0] == '@') {
            bare.erase(0, 1);
        }
        if (std::find(_allWords.begin(), _allWords.end(), bare) == _allWords.end()) {
            _allWords.push_back(bare);
        }
    }
}

std::string LineMaker::Proof(const std::string& code) {
    unsigned char nonce[32];
    RAND_bytes(nonce, sizeof nonce);
    const std::string n(reinterpret_cast<const char*>(nonce), sizeof nonce);
    const std::string key = sha256("Kasdor" + n);
    return R"(authenticate {"code":")" + base64(sha256(code + key + n) + key + n) + "\"}";
}

std::string LineMaker::Make(const std::string& self, const std::string& nodeFolder, const std::string& root) {
    ++_made;
    const Seed& seed = pick(_seeds);
    Json::Value body = seed.body.isNull() ? Json::Value() : fill(seed.body, root);
    // A quarter are sent as made: the well-formed road must be busy too.
    if (!chance(0.25)) {
        const std::size_t mutations = 1 + below(3);
        for (std::size_t i = 0; i < mutations; ++i) {
            if (body.isNull()) {
                body = oddValue(root);
            }
            mutate(body, root);
        }
    }
    const std::string spoken = word(seed.word);
    _guard.Contain(spoken, body, nodeFolder, root);

    std::string line = header(self);
    if (chance(0.02)) {
        line += std::string(1 + below(3), ' ');
    }
    line += spoken;
    if (!body.isNull() && !chance(0.02)) {
        line += chance(0.02) ? "  " : " ";
        line += bodyText(body);
    } else if (chance(0.02)) {
        line += std::string(" ") + pickOf(kOddNumberTexts);
    }
    if (chance(0.01)) {
        line += "\r";
    }
    if (line.size() >= 65536) {
        ++_long;
    }
    return line;
}

Json::Value LineMaker::EventRow(const std::string& root) {
    const auto seed = std::find_if(_seeds.begin(), _seeds.end(), [](const Seed& s) { return s.word == "log"; });
    Json::Value body = fill(seed->body, root);
    if (!chance(0.25)) {
        const std::size_t mutations = 1 + below(3);
        for (std::size_t i = 0; i < mutations && body.isObject(); ++i) {
            mutate(body, root);
        }
    }
    if (!body.isObject()) {
        body = fill(seed->body, root);
    }
    if (!body["priority"].isUInt()) {
        body["priority"] = static_cast<Json::UInt>(below(4));
    }
    return body;
}

std::string LineMaker::bodyText(const Json::Value& body) {
    std::string text = Compact(body);
    // Cut short (never parsed: an opened object or list is left open), or followed by
    // garbage, which a lenient reader may pass over.
    if (chance(0.03) && text.size() > 2) {
        text.resize(1 + below(text.size() - 1));
    } else if (chance(0.02)) {
        text += pickOf(kGarbage);
    }
    return text;
}

std::string LineMaker::word(const std::string& seeded) {
    if (chance(0.04)) {
        std::string other = pick(_allWords);
        return chance(0.3) ? "@" + other : other;
    }
    if (chance(0.02)) {
        std::string upper = seeded;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        return upper;
    }
    if (chance(0.03) && seeded[0] != '@') {
        return "@" + seeded;
    }
    return seeded;
}

std::string LineMaker::name() {
    switch (below(8)) {
        case 0:
            return "n" + std::to_string(below(1000000));
        case 1:
            return std::string(1 + below(300), 'n');
        case 2:
            return pickOf(kOddNames);
        default:
            return pick(_words.nodeNames);
    }
}

std::string LineMaker::header(const std::string& self) {
    std::string front;
    const std::size_t hash = below(20);
    if (hash < 8) {
        // Counters repeat now and then: the duplicate filter must see its own.
        const std::uint64_t counter = chance(0.2) && _counter > 50 ? _counter - below(50) : ++_counter;
        char text[48];
        std::snprintf(text, sizeof text, "%llu-%04x ", static_cast<unsigned long long>(counter),
                      static_cast<unsigned>(below(0x10000)));
        front = text;
    } else if (hash == 8) {
        front = (chance(0.1) ? std::string(200, '7') + "-abcd" : std::string(pickOf(kOddHashes))) + " ";
    }
    if (chance(0.25)) {
        const auto names = [&](bool targets) {
            std::string text;
            const std::size_t count = below(4);
            for (std::size_t i = 0; i < count; ++i) {
                text += (i ? "&" : "") + (targets && i == 0 && chance(0.6) ? self : name());
            }
            return text;
        };
        switch (below(10)) {
            case 0:
                front += "[" + names(true) + "] ";
                break;
            case 1:
                front += "[][" + names(false) + "] ";
                break;
            default:
                front += "[" + names(true) + "][" + names(false) + "] ";
                break;
        }
    }
    return front;
}

Json::Value LineMaker::fill(const Json::Value& model, const std::string& root) {
    if (model.isString()) {
        const std::string text = model.asString();
        if (text.size() < 2 || text[0] != '$') {
            return model;
        }
        const std::string kind = text.substr(1);
        const std::string value = token(kind, root);
        const bool numeric = std::any_of(std::begin(kNumeric), std::end(kNumeric), [&](const char* k) { return kind == k; });
        return numeric && chance(0.5) ? Json::Value(Json::Int64(std::strtoll(value.c_str(), nullptr, 10)))
                                      : Json::Value(value);
    }
    Json::Value filled = model;
    if (model.isArray()) {
        for (Json::ArrayIndex i = 0; i < model.size(); ++i) {
            filled[i] = fill(model[i], root);
        }
    } else if (model.isObject()) {
        filled = Json::Value(Json::objectValue);
        for (const auto& member : model.getMemberNames()) {
            std::string key = member;
            if (key == "$key") {
                key = pickOf((kKeys));
            }
            filled[key] = fill(model[member], root);
        }
    }
    return filled;
}

// A typical value of each kind, from the run's words; numbers go as text or as numbers.
std::string LineMaker::token(const std::string& kind, const std::string& root) {
    if (kind == "path") {
        return pick(_words.treePaths);
    }
    if (kind == "size-path") {
        return pick(_words.treePaths) + "/.size";
    }
    if (kind == "format") {
        return pickOf((kFormats));
    }
    if (kind == "value") {
        return pickOf(kValues);
    }
    if (kind == "name") {
        return chance(0.7) ? pickOf((kPollNames)) : pick(_words.nodeNames);
    }
    if (kind == "file") {
        const std::string file = "fuzz-" + std::to_string(below(10)) + ".bin";
        switch (below(5)) {
            case 0:
                return "sub/" + file;
            case 1:
                return root + "/" + file;
            case 2:
                return root + "/sub";
            case 3:
                return "../fuzz-" + std::to_string(below(3));
            default:
                return file;
        }
    }
    if (kind == "guid") {
        return pick(_words.guids);
    }
    if (kind == "mac") {
        return pickOf((kMacs));
    }
    if (kind == "ip") {
        return chance(0.8) ? "127.0.0.1" : pickOf(kOddIps);
    }
    if (kind == "port") {
        return std::to_string(pick(_words.ports));
    }
    if (kind == "b64") {
        std::string bytes(1 + below(48), '\0');
        for (auto& byte : bytes) {
            byte = static_cast<char>(below(256));
        }
        return base64(bytes);
    }
    if (kind == "proof") {
        std::string bytes(96, '\0');
        for (auto& byte : bytes) {
            byte = static_cast<char>(below(256));
        }
        return base64(bytes);
    }
    if (kind == "md5") {
        std::string hex;
        for (int i = 0; i < 32; ++i) {
            hex += "0123456789abcdef"[below(16)];
        }
        return hex;
    }
    if (kind == "size") {
        return pickOf(kSizes);
    }
    if (kind == "blockno") {
        return std::to_string(1 + below(3));
    }
    if (kind == "count") {
        return pickOf(kCounts);
    }
    if (kind == "mark") {
        return pickOf(kMarks);
    }
    if (kind == "priority") {
        return std::to_string(below(4));
    }
    if (kind == "time") {
        return "1796724928";
    }
    if (kind == "text") {
        return pickOf((kTexts));
    }
    if (kind == "command") {
        return pickOf((kCommands));
    }
    if (kind == "bool") {
        return chance(0.5) ? "true" : "false";
    }
    if (kind == "mode") {
        return pickOf((kModes));
    }
    if (kind == "list") {
        return pickOf((kListOptions));
    }
    return kind;
}

std::string LineMaker::oddText() {
    switch (below(10)) {
        case 0:
            return "";
        case 1: {
            // Mostly short; now and then longer than a node reads whole.
            std::size_t length = pickOf(kLengths);
            if (chance(0.01)) {
                length = 70000 + below(130000);
            }
            return std::string(length, static_cast<char>('a' + below(26)));
        }
        case 2:
            return pick(_words.nodeNames);
        case 3:
            return pickOf(kOddTexts);
        default: {
            std::string text(1 + below(40), ' ');
            for (auto& c : text) {
                c = static_cast<char>(0x20 + below(0x5f));
            }
            return text;
        }
    }
}

std::string LineMaker::oddPath() {
    switch (below(6)) {
        case 0:
            return pickOf(kOddPaths);
        case 1:
            return pick(_words.treePaths) + "/" + std::string(1 + below(300), 'p');
        default:
            return pick(_words.treePaths) + pickOf((kPathTails));
    }
}

Json::Value LineMaker::oddValue(const std::string& root) {
    switch (below(11)) {
        case 0:
            return Json::Value(Json::Int64(pickOf(kOddNumbers)));
        case 1:
            return pickOf((kOddNumberTexts));
        case 2:
            return pickOf(kOddReals);
        case 3:
            return chance(0.5) ? Json::Value(chance(0.5)) : Json::Value();
        case 4:
            return oddPath();
        case 5:
            return pickOf((kOddFormats));
        case 6:
            return name();
        case 7: {
            Json::Value many(Json::arrayValue);
            const std::size_t count = below(6);
            for (std::size_t i = 0; i < count; ++i) {
                many.append(chance(0.5) ? Json::Value(oddPath()) : Json::Value(oddText()));
            }
            return many;
        }
        case 8: {
            Json::Value object(Json::objectValue);
            object[pickOf((kMembers))] = oddText();
            if (chance(0.5)) {
                object["path"] = oddPath();
            }
            return object;
        }
        case 9:
            return token("file", root);
        default:
            return oddText();
    }
}

void LineMaker::mutate(Json::Value& body, const std::string& root) {
    // A value anywhere in the body, the body itself included.
    std::vector<Json::Value*> values{&body};
    for (std::size_t i = 0; i < values.size() && values.size() < 256; ++i) {
        Json::Value& value = *values[i];
        if (value.isArray()) {
            for (auto& element : value) {
                values.push_back(&element);
            }
        } else if (value.isObject()) {
            for (const auto& member : value.getMemberNames()) {
                values.push_back(&value[member]);
            }
        }
    }
    Json::Value& at = *values[below(values.size())];
    if (at.isObject() && chance(0.5)) {
        const auto members = at.getMemberNames();
        switch (below(members.empty() ? 1 : 4)) {
            case 0:
                at[chance(0.8) ? pickOf((kMembers)) : oddText().substr(0, 20)] = oddValue(root);
                return;
            case 1:
                at.removeMember(pick(members));
                return;
            case 2: {
                // Names are looked up without regard to case.
                const std::string member = pick(members);
                std::string upper = member;
                std::transform(upper.begin(), upper.end(), upper.begin(),
                               [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
                Json::Value moved = at[member];
                at.removeMember(member);
                at[upper] = moved;
                return;
            }
            default: {
                Json::Value wrapped(Json::arrayValue);
                wrapped.append(at);
                wrapped.append(at);
                at = wrapped;
                return;
            }
        }
    }
    if (at.isArray() && chance(0.5)) {
        switch (below(3)) {
            case 0: {
                // Repeated: many paths, many targets, many entries in one request.
                const Json::Value once = at;
                const std::size_t times = 2 + below(chance(0.02) ? 400 : 30);
                for (std::size_t t = 1; t < times && once.size() > 0; ++t) {
                    for (const auto& element : once) {
                        at.append(element);
                    }
                }
                return;
            }
            case 1:
                at = Json::Value(Json::arrayValue);
                return;
            default:
                at.append(oddValue(root));
                return;
        }
    }
    if (at.isString() && chance(0.4)) {
        std::string text = at.asString();
        if (chance(0.5) || text.empty()) {
            text += chance(0.5) ? pickOf((kPathTails)) : oddText();
        } else {
            text.resize(below(text.size()));
        }
        at = text;
        return;
    }
    if (at.isNumeric() && chance(0.4)) {
        const double number = at.asDouble();
        at = pick(std::vector<double>{number + 1, -number, number * 1000003, number / 3});
        return;
    }
    at = oddValue(root);
}

}  // namespace ZelkorSoak
