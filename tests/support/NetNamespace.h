#pragma once
// Throw-away network namespaces for tests over real interfaces, joined by a veth pair and
// removed again with the objects. They need root and working `ip netns` and veth; where
// either is missing, Made() is false and the test skips. Names carry the process id, so
// parallel test processes do not collide, and nothing touches the host's own network.

#include <functional>
#include <string>

namespace ZelkorTest {

// Runs one `ip` command, bounded in time; true on success.
bool Ip(const std::string& arguments);
// A name unique to this process: "zk", the process id, then `tag`.
std::string UniqueName(const std::string& tag);

class NetNamespace {
public:
    explicit NetNamespace(const std::string& tag);
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool Made() const { return _made; }
    const std::string& Name() const { return _name; }

    // Runs `work` on a thread of its own that has joined this namespace; sockets it opens
    // stay in the namespace after the thread has ended. False when joining failed.
    bool Run(const std::function<void()>& work) const;

private:
    std::string _name;
    bool _made = false;
};

// Namespace "a" holds A1 (10.77.0.1/24), namespace "b" its peer B1 (10.77.0.2/24).
class VethPair {
public:
    static constexpr const char* AddressA = "10.77.0.1";
    static constexpr const char* AddressB = "10.77.0.2";

    VethPair();
    // Empty when the pair is up; otherwise why it could not be made (the test skips).
    const std::string& Missing() const { return _missing; }

    NetNamespace a{"a"};
    NetNamespace b{"b"};
    const std::string a1 = UniqueName("a1");
    const std::string b1 = UniqueName("b1");

private:
    std::string _missing;
};

}  // namespace ZelkorTest
