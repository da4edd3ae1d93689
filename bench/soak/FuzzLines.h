#pragma once
// The lines of the fuzz: a well-formed line of every word the nodes know (requests and
// replies alike), made from the run's own names, GUIDs, ports and tree paths, and then
// mutated where a hostile peer would: the sender hash, the routing header, the word, and
// in the JSON body the paths, values, formats, names, numbers and sizes, members dropped,
// added, renamed or repeated, the body cut short or followed by garbage. Every line goes
// through the run's HostGuard before it is written, so that no mutation names an address
// off loopback, a port outside the run or a file outside its folder.
//
// Threads: the run's one thread.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <json/value.h>

#include "HostGuard.h"

namespace ZelkorSoak {

// What the lines are made of.
struct FuzzWords {
    // Every node's name, for routing headers and names.
    std::vector<std::string> nodeNames;
    // The nodes' GUIDs (those that have a fixed one).
    std::vector<std::string> guids;
    // Paths of the nodes' trees.
    std::vector<std::string> treePaths;
    // The ports a line may name: the nodes' and the fuzz's own.
    std::vector<unsigned short> ports;
};

class LineMaker {
public:
    LineMaker(FuzzWords words, const HostGuard& guard, std::mt19937_64& random);

    // One line, without its "\n", for the node named `self` whose folder is `nodeFolder`
    // and whose storage root is `root`.
    std::string Make(const std::string& self, const std::string& nodeFolder, const std::string& root);
    // The body of a "log" line as Make writes it, mutations included, as a node would keep
    // it: always an object, with an unsigned "priority" (`root` as for Make).
    Json::Value EventRow(const std::string& root);
    // A proof of `code` with the key digest, as a controller proves it: "authenticate {...}".
    std::string Proof(const std::string& code);

    // Lines made, and those a mutation made longer than a node reads whole (64 KiB).
    std::uint64_t Made() const { return _made; }
    std::uint64_t Long() const { return _long; }

private:
    struct Seed {
        std::string word;
        Json::Value body;  // null: no body
    };

    Json::Value fill(const Json::Value& model, const std::string& root);
    std::string token(const std::string& name, const std::string& root);
    void mutate(Json::Value& body, const std::string& root);
    Json::Value oddValue(const std::string& root);
    std::string oddText();
    std::string oddPath();
    std::string header(const std::string& self);
    std::string name();
    std::string word(const std::string& seeded);
    std::string bodyText(const Json::Value& body);

    std::size_t below(std::size_t count) { return static_cast<std::size_t>(_random() % count); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(_random) < p; }
    template <typename T>
    const T& pick(const std::vector<T>& from) {
        return from[below(from.size())];
    }
    template <typename T, std::size_t N>
    const T& pickOf(const T (&from)[N]) {
        return from[below(N)];
    }

    FuzzWords _words;
    const HostGuard& _guard;
    std::mt19937_64& _random;
    std::vector<Seed> _seeds;
    std::vector<std::string> _allWords;
    std::uint64_t _counter = 0;
    std::uint64_t _made = 0;
    std::uint64_t _long = 0;
};

}  // namespace ZelkorSoak
