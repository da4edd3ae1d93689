#pragma once
// The five file-system words and "fwupdate" as the transfer service's dispatch tells
// them, and what it logs when one came without a connection (a datagram, dropped).
//
// Threads: free functions without state.

#include <string>

namespace Zelkor {

// "deletefile", "listfiles", "freespace", "mkdir", "rmdir" or "fwupdate" (exact case).
bool IsFileSystemWord(const std::string& word);
// The log line of a datagram of such a word, requests and replies alike; null for any
// other word.
const char* FileSystemNoConnectionText(const std::string& word);

}  // namespace Zelkor
