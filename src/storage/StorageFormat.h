#pragma once
// The four value formats and how a caller's format word is reduced to one of them.
// Stateless; safe from any thread.

#include <string>
#include <vector>

namespace Zelkor {

// "norm", "number", "string", "variant", in that order.
const std::vector<std::string>& StorageFormats();

bool IsStorageFormat(const std::string& word);

// The word a write works with: null is "variant", and only the part before the first "("
// counts ("norm(0,1)" is "norm"). The word is not checked here.
std::string CutFormat(const char* format);

// The word a read works with: as a write's, and "default" also means "variant".
std::string ReadFormat(const char* format);

// The word a path verification works with: not cut, and "default" in any letter case
// means "variant".
std::string VerifyFormat(const char* format);

}  // namespace Zelkor
