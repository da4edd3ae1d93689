#pragma once
// Throw-away network namespaces for tests over real interfaces, joined by a veth pair and
// removed again with the objects. They need root and working `ip netns` and veth; where
// either is missing, Made() is false and the test skips. Names carry the process id, so
// parallel test processes do not collide, and nothing touches the host's own network. A
// test process killed before it removed its namespaces leaves them behind: making a
// namespace first removes those, by the process id in their names.

#include <functional>
#include <set>
#include <string>

namespace ZelkorTest {

// Runs one `ip` command, bounded in time; true on success.
bool Ip(const std::string& arguments);
// A name unique to this process: "zk", the process id, then `tag`, which must not start
// with a digit (the process id would not be read back from the name).
std::string UniqueName(const std::string& tag);
// The process id in a name UniqueName gave, or 0 for any other name.
long ProcessOfName(const std::string& name);
// Removes every namespace UniqueName named for a process that is no longer running, and
// no other; the names it removed.
std::set<std::string> RemoveStaleNamespaces();

class NetNamespace {
public:
    explicit NetNamespace(const std::string& tag);
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool Made() const { return _made; }
    const std::string& Name() const { return _name; }

    // Runs `work` on a thread of its own that has joined this namespace; sockets it opens,
    // and threads it starts, stay in the namespace after it has ended. False when joining
    // failed.
    bool Run(const std::function<void()>& work) const;
    // Runs `ip` with `arguments` inside the namespace.
    bool Ip(const std::string& arguments) const;

private:
    std::string _name;
    bool _made = false;
};

// The sockets bound in the calling thread's namespace, one text each: "tcp" (listening
// only), "udp", "tcp6" or "udp6", a blank, and the bound end point ("10.77.0.1:4197",
// "[::]:4197"). Call it inside NetNamespace::Run.
std::multiset<std::string> BoundSockets();

// Namespace "a" holds A1, namespace "b" its peer B1, each with an IPv4 /24, a unique-local
// IPv6 /64 and a link-local address of its own; the IPv6 addresses skip duplicate
// detection, so they serve at once.
class VethPair {
public:
    static constexpr const char* AddressA = "10.77.0.1";
    static constexpr const char* AddressB = "10.77.0.2";
    static constexpr const char* AddressA6 = "fd00:77::1";
    static constexpr const char* AddressB6 = "fd00:77::2";
    static constexpr const char* LinkLocalA = "fe80::1";
    static constexpr const char* LinkLocalB = "fe80::2";

    VethPair();
    // Empty when the pair is up; otherwise why it could not be made (the test skips).
    const std::string& Missing() const { return _missing; }

    // A1 down or up again.
    bool SetLinkA(bool up) const;
    // Moves A1's IPv4 address to another one of the same /24.
    bool ReplaceAddressA(const std::string& from, const std::string& to) const;
    // Adds an address (with its prefix) to A1 under the label "<a1>:<suffix>", which
    // comes back.
    std::string AddLabelA(const std::string& addressWithPrefix, const std::string& suffix) const;

    NetNamespace a{"a"};
    NetNamespace b{"b"};
    const std::string a1 = UniqueName("a1");
    const std::string b1 = UniqueName("b1");

private:
    std::string _missing;
};

}  // namespace ZelkorTest
