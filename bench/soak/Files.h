#pragma once
// The files the transfers carry: random content written in one pass with its MD5, and the
// MD5 of a file as it lies on disk; and a node's event log as a long run leaves it.

#include <cstdint>
#include <random>
#include <string>

namespace ZelkorSoak {

// Writes `bytes` bytes from `random` to `path`; their MD5 in hex, empty when the file
// could not be written.
std::string WriteRandomFile(const std::string& path, std::uint64_t bytes, std::mt19937_64& random);

// The MD5 of the file in hex; empty when it cannot be read.
std::string Md5OfFile(const std::string& path);

// Writes an event log of `rows` events of about 200 bytes each, numbered from 1; false when
// it could not be written.
bool WriteEventLog(const std::string& path, unsigned rows);

}  // namespace ZelkorSoak
