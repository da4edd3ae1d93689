#pragma once
// The files the transfers carry: random content written in one pass with its MD5, and the
// MD5 of a file as it lies on disk; and a node's event log as a long run leaves it.

#include <cstdint>
#include <functional>
#include <random>
#include <string>

#include <json/value.h>

namespace ZelkorSoak {

// Writes `bytes` bytes from `random` to `path`; their MD5 in hex, empty when the file
// could not be written.
std::string WriteRandomFile(const std::string& path, std::uint64_t bytes, std::mt19937_64& random);

// The MD5 of the file in hex; empty when it cannot be read.
std::string Md5OfFile(const std::string& path);

// Writes an event log of `rows` events, numbered from 1, each made by `event` (an object;
// its "seqno" is set here); false when it could not be written.
bool WriteEventLog(const std::string& path, unsigned rows, const std::function<Json::Value()>& event);

}  // namespace ZelkorSoak
