// Arbitrary bytes as the body of a received block line and as its Base64 data. The fast
// body reader may refuse anything (the JSON library then reads it), but what it takes the
// JSON library must read the same way; the in-place decoder must agree with the library's
// Base64 decoder wherever both take a text, and leave refused text as it was. The bytes
// also go through a composed line and must come back unchanged.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/Base64.h"
#include "core/Digest.h"
#include "core/JsonText.h"
#include "filetransfer/BlockLine.h"
#include "filetransfer/BlockSize.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void CheckBodyReader(std::string_view body) {
    Zelkor::BlockBody read;
    if (!Zelkor::ReadBlockBody(body, read)) {
        return;
    }
    Json::Value json;
    std::string errors;
    Require(Zelkor::ReadJson(body, json, errors) == Zelkor::JsonReadResult::ok);
    Require(json.isObject());
    Require(read.hasNumber == read.hasData);
    if (!read.hasNumber) {
        Require(json.empty());
        return;
    }
    Require(json.size() == 2);
    const Json::Value& number = json["blockno"];
    const Json::Value& data = json["data"];
    Require(number.isUInt64() && number.asUInt64() == read.number);
    Require(data.isString() && data.asString() == read.data);
}

// Characters the library's decoder passes over around the text; the in-place decoder
// takes none of them.
bool HasFraming(std::string_view text) {
    return text.find_first_of(std::string_view(" \t\r\n-", 5)) != std::string_view::npos;
}

void CheckDecoder(std::string_view text) {
    std::string mine(text);
    const bool taken = Zelkor::DecodeBase64InPlace(mine);
    std::string theirs(text);
    unsigned long length = static_cast<unsigned long>(theirs.size());
    const std::string decoded = Base64::Decode(theirs, length);
    // The library's decoder gives nothing both for refused text and for empty text.
    const bool theirsTaken = !decoded.empty() || text.empty();
    if (!taken) {
        Require(mine == text);
        Require(!theirsTaken || HasFraming(text));
        return;
    }
    Require(theirsTaken);
    Require(mine == decoded);
    Require(Zelkor::DecodedLength(text) == mine.size());
}

void CheckRoundTrip(std::string_view bytes) {
    std::size_t at = 0;
    const Zelkor::BlockReader reader = [&](char* buffer, std::size_t count, std::string&) -> long {
        const std::size_t n = std::min(count, bytes.size() - at);
        std::copy_n(bytes.data() + at, n, buffer);
        at += n;
        return static_cast<long>(n);
    };
    // The block size follows the input, so that ends of blocks fall everywhere.
    const std::size_t blockSize = 4 + (bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]) * 4);
    MD5Digest digest;
    std::string line;
    std::string raw;
    std::string received;
    for (std::uint64_t number = 1;; ++number) {
        const auto composed =
            Zelkor::ComposeBlockLine(reader, number, blockSize, Zelkor::ChunkSizeOf(blockSize), line, raw);
        Require(!composed.failed);
        if (composed.read == 0) {
            break;
        }
        Require(raw.size() == composed.read);
        digest.Update(raw);
        Require(line.size() > 7 && line.compare(0, 6, "block ") == 0 && line.back() == '\n');
        Zelkor::BlockBody read;
        Require(Zelkor::ReadBlockBody(std::string_view(line).substr(6, line.size() - 7), read));
        Require(read.hasNumber && read.number == number && read.data.size() <= blockSize);
        std::string data(read.data);
        Require(Zelkor::DecodeBase64InPlace(data) && data.size() == composed.read);
        received += data;
    }
    Require(received == bytes);
    MD5Digest whole;
    whole.Update(std::string(bytes));
    Require(digest.GetDigest() == whole.GetDigest());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CheckBodyReader(input);
    CheckDecoder(input);
    Zelkor::BlockBody read;
    if (Zelkor::ReadBlockBody(input, read)) {
        CheckDecoder(read.data);
    }
    CheckRoundTrip(input);
    return 0;
}
