// How fast a node's verification code can be guessed, and what the guessing leaves to an
// honest peer. A device node in network namespace a of a veth pair, the peers in b, every
// proof over TLS as a proof must be.
//
// BM_GuessingFromManyAddresses: each guess on a connection of its own from the next of
// 2,000 source addresses (in turn), then one wrong proof. Guessers run on many threads for
// a fixed time. The counters are the proofs checked ("Authentication Failed") and refused
// unchecked ("Too many failed attempts") a second, the checked ones after the first ten
// seconds (past any burst), and the hours a four-digit code would take at that rate, for
// all 10,000 codes.
//
// BM_HonestProofsBesideCarriedOnes: one address, over 4 TLS connections, sends wrong
// proofs whose header names a requester behind it ("[dev][gN&xM] authenticate"), each
// connection its next as soon as the last is answered. Meanwhile an honest peer proves the
// right code every 2 s, each time from an address that never proved it. The counters are
// the honest proofs accepted and refused, the carried proofs checked a second, and the
// carrying connections the device closed.
//
// Needs root (skipped otherwise); sends nothing outside its namespaces.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "helpers/ChildProcess.h"
#include "support/NetNamespace.h"
#include "support/TempDir.h"

namespace {

using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kThreads = 32;

std::string base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::string sha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), size);
}

// A proof of `code`, as a controller composes one.
std::string proofOf(const std::string& code) {
    std::string nonce(32, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(nonce.data()), 32);
    const std::string key = sha256("Kasdor" + nonce);
    return base64(sha256(code + key + nonce) + key + nonce);
}

// The n-th guessing address: 10.77.8.1 on, 250 to a /24.
std::string sourceAddress(int n) {
    return "10.77." + std::to_string(8 + n / 250) + "." + std::to_string(1 + n % 250);
}

enum class Answer { Checked, Unchecked, Other };

// One guess from `source`: connect, "starttls", the handshake, a wrong proof, its answer.
// Every step is bounded by the deadline.
Answer guess(boost::asio::io_context& io, boost::asio::ssl::context& tls, const std::string& source,
             std::chrono::seconds deadline) {
    boost::asio::ssl::stream<tcp::socket> stream(io, tls);
    boost::system::error_code error;
    stream.next_layer().open(tcp::v4(), error);
    stream.next_layer().bind({boost::asio::ip::make_address(source), 0}, error);
    if (error) {
        return Answer::Other;
    }
    boost::asio::streambuf in;
    std::string line;
    bool failed = false;
    const auto readLine = [&](auto& from, auto next) {
        boost::asio::async_read_until(from, in, '\n', [&, next](const boost::system::error_code& e, std::size_t) {
            if (e) {
                failed = true;
                return;
            }
            std::istream text(&in);
            std::getline(text, line);
            next();
        });
    };
    const std::string proof = "authenticate {\"code\":\"" + proofOf("wrong") + "\"}\n";
    stream.next_layer().async_connect({boost::asio::ip::make_address("10.77.0.1"), 4197}, [&](const auto& e) {
        if (e) {
            failed = true;
            return;
        }
        boost::asio::async_write(stream.next_layer(), boost::asio::buffer(std::string("starttls\n")),
                                 [&](const auto& e, std::size_t) {
                                     if (e) {
                                         failed = true;
                                         return;
                                     }
                                     readLine(stream.next_layer(), [&] {
                                         stream.async_handshake(boost::asio::ssl::stream_base::client, [&](const auto& e) {
                                             if (e) {
                                                 failed = true;
                                                 return;
                                             }
                                             boost::asio::async_write(stream, boost::asio::buffer(proof),
                                                                      [&](const auto& e, std::size_t) {
                                                                          if (e) {
                                                                              failed = true;
                                                                              return;
                                                                          }
                                                                          readLine(stream, [] {});
                                                                      });
                                         });
                                     });
                                 });
    });
    io.restart();
    io.run_for(deadline);
    if (!io.stopped()) {
        stream.next_layer().close(error);
        io.restart();
        io.run();
    }
    if (failed) {
        return Answer::Other;
    }
    if (line.find("Authentication Failed") != std::string::npos) {
        return Answer::Checked;
    }
    return line.find("Too many failed attempts") != std::string::npos ? Answer::Unchecked : Answer::Other;
}

// Adds the guessing addresses to b's link, and a way back to them to a's: through b's own
// address, so that a keeps one neighbour rather than one per address (its table holds
// 1,024 by default, and answers to the rest would be lost).
bool addAddresses(const ZelkorTest::VethPair& pair, int count) {
    ZelkorTest::TempDir folder;
    const std::string batch = (folder.Path() / "addresses").string();
    {
        std::ofstream out(batch);
        for (int n = 0; n < count; ++n) {
            out << "addr add " << sourceAddress(n) << "/32 dev " << pair.b1 << "\n";
        }
    }
    return count <= 2000 && pair.b.Ip("-batch " + batch) &&
           pair.a.Ip(std::string("route add 10.77.8.0/21 via ") + ZelkorTest::VethPair::AddressB);
}

void BM_GuessingFromManyAddresses(benchmark::State& state) {
    const int addresses = static_cast<int>(state.range(0));
    const auto duration = std::chrono::seconds(state.range(1));
    for (auto _ : state) {
        ZelkorTest::VethPair pair;
        if (!pair.Missing().empty()) {
            state.SkipWithError(pair.Missing().c_str());
            return;
        }
        if (!addAddresses(pair, addresses)) {
            state.SkipWithError("the guessing addresses could not be added");
            return;
        }
        ZelkorTest::TempDir folder;
        ZelkorBench::Child node({"/usr/sbin/ip", "netns", "exec", pair.a.Name(), ZELKOR_NODE_PROGRAM, "--role", "device",
                                 "--listen", "10.77.0.1:4197", "--code", "0042", "--max-incoming", "0",
                                 "--log-level", "1"},
                                folder.Path().string());
        if (node.AwaitLine("listenerAdded").empty()) {
            state.SkipWithError("the node did not start");
            return;
        }
        node.Drain();

        std::atomic<int> next{0};
        std::atomic<long> checked{0};
        std::atomic<long> checkedLater{0};
        std::atomic<long> unchecked{0};
        std::atomic<long> other{0};
        const auto start = Clock::now();
        const auto end = start + duration;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                pair.b.Run([&] {
                    boost::asio::io_context io;
                    boost::asio::ssl::context tls(boost::asio::ssl::context::tls_client);
                    tls.set_verify_mode(boost::asio::ssl::verify_none);
                    while (Clock::now() < end) {
                        const Answer answer = guess(io, tls, sourceAddress(next++ % addresses), std::chrono::seconds(10));
                        if (answer == Answer::Checked) {
                            ++checked;
                            if (Clock::now() - start >= std::chrono::seconds(10)) {
                                ++checkedLater;
                            }
                        } else {
                            ++(answer == Answer::Unchecked ? unchecked : other);
                        }
                    }
                });
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double later = std::max(1.0, seconds - 10);
        const double steady = static_cast<double>(checkedLater.load()) / later;
        state.counters["checked_per_s"] = static_cast<double>(checked.load()) / seconds;
        state.counters["checked_per_s_after_10s"] = steady;
        state.counters["unchecked_per_s"] = static_cast<double>(unchecked.load()) / seconds;
        state.counters["failed_guesses"] = static_cast<double>(other.load());
        state.counters["four_digit_code_hours"] = steady > 0 ? 10000 / steady / 3600 : 0;
        state.SetIterationTime(seconds);
    }
}
// 2,000 addresses for a minute.
BENCHMARK(BM_GuessingFromManyAddresses)->Args({2000, 60})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// A TLS connection from `source` to the device, for one line after another; every step
// bounded by a deadline. Opened and used on one thread, inside namespace b.
class SecuredLine {
public:
    static constexpr std::chrono::seconds Deadline{10};

    explicit SecuredLine(const std::string& source) {
        boost::system::error_code error;
        _stream.next_layer().open(tcp::v4(), error);
        _stream.next_layer().bind({boost::asio::ip::make_address(source), 0}, error);
        _stream.next_layer().connect({boost::asio::ip::make_address("10.77.0.1"), 4197}, error);
        _open = !error && plainAsk("starttls\n") == "@starttls {}" && handshake();
    }

    bool Open() const { return _open; }

    // The answer to `line` (without its newline); "" once the connection failed or closed.
    // The node's keep-alives are answered on the way, as a peer does.
    std::string Ask(const std::string& line) {
        if (!_open || !run([&](auto done) { boost::asio::async_write(_stream, boost::asio::buffer(line), done); })) {
            return fail();
        }
        for (;;) {
            std::string heard;
            if (!run([&](auto done) { boost::asio::async_read_until(_stream, _in, '\n', done); })) {
                return fail();
            }
            std::istream text(&_in);
            std::getline(text, heard);
            if (heard.rfind("disco ", 0) != 0) {
                return heard;
            }
            const std::string answer = "@disco {}\n";
            if (!run([&](auto done) { boost::asio::async_write(_stream, boost::asio::buffer(answer), done); })) {
                return fail();
            }
        }
    }

private:
    static boost::asio::ssl::context client() {
        boost::asio::ssl::context tls(boost::asio::ssl::context::tls_client);
        tls.set_verify_mode(boost::asio::ssl::verify_none);
        return tls;
    }

    // Runs one operation to its end or the deadline; true when it succeeded.
    template <typename Start>
    bool run(const Start& start) {
        bool ok = false;
        start([&](const boost::system::error_code& error, auto&&...) { ok = !error; });
        _io.restart();
        _io.run_for(Deadline);
        if (!_io.stopped()) {
            boost::system::error_code ignored;
            _stream.next_layer().close(ignored);
            _io.restart();
            _io.run();
            return false;
        }
        return ok;
    }

    std::string plainAsk(const std::string& line) {
        if (!run([&](auto done) { boost::asio::async_write(_stream.next_layer(), boost::asio::buffer(line), done); }) ||
            !run([&](auto done) { boost::asio::async_read_until(_stream.next_layer(), _in, '\n', done); })) {
            return "";
        }
        std::string heard;
        std::istream text(&_in);
        std::getline(text, heard);
        return heard;
    }

    bool handshake() {
        return run([&](auto done) { _stream.async_handshake(boost::asio::ssl::stream_base::client, done); });
    }

    std::string fail() {
        _open = false;
        return "";
    }

    boost::asio::io_context _io;
    boost::asio::ssl::context _tls = client();
    boost::asio::ssl::stream<tcp::socket> _stream{_io, _tls};
    boost::asio::streambuf _in;
    bool _open = false;
};

void BM_HonestProofsBesideCarriedOnes(benchmark::State& state) {
    constexpr int kCarriers = 4;
    const auto duration = std::chrono::seconds(state.range(0));
    const auto every = std::chrono::seconds(2);
    const int attempts = static_cast<int>(duration / every);
    for (auto _ : state) {
        ZelkorTest::VethPair pair;
        if (!pair.Missing().empty()) {
            state.SkipWithError(pair.Missing().c_str());
            return;
        }
        // The honest peer's fresh addresses.
        if (!addAddresses(pair, attempts)) {
            state.SkipWithError("the honest addresses could not be added");
            return;
        }
        ZelkorTest::TempDir folder;
        ZelkorBench::Child node({"/usr/sbin/ip", "netns", "exec", pair.a.Name(), ZELKOR_NODE_PROGRAM, "--role", "device",
                                 "--name", "dev", "--listen", "10.77.0.1:4197", "--code", "0042", "--max-incoming", "0",
                                 "--log-level", "1"},
                                folder.Path().string());
        if (node.AwaitLine("listenerAdded").empty()) {
            state.SkipWithError("the node did not start");
            return;
        }
        node.Drain();

        std::atomic<bool> stop{false};
        std::atomic<long> checked{0};
        std::atomic<long> unchecked{0};
        std::atomic<int> closed{0};
        const auto start = Clock::now();
        std::vector<std::thread> carriers;
        for (int c = 0; c < kCarriers; ++c) {
            carriers.emplace_back([&, c] {
                pair.b.Run([&] {
                    SecuredLine line(ZelkorTest::VethPair::AddressB);
                    for (long n = 0; line.Open() && !stop; ++n) {
                        const std::string heard =
                            line.Ask("[dev][g" + std::to_string(n) + "&x" + std::to_string(c) +
                                     "] authenticate {\"code\":\"" + proofOf("wrong") + "\"}\n");
                        if (heard.find("Authentication Failed") != std::string::npos) {
                            ++checked;
                        } else if (heard.find("Too many failed attempts") != std::string::npos) {
                            ++unchecked;
                        }
                    }
                    closed += !line.Open();
                });
            });
        }
        int proven = 0;
        int refused = 0;
        for (int n = 0; n < attempts; ++n) {
            std::this_thread::sleep_until(start + (n + 1) * every);
            pair.b.Run([&] {
                SecuredLine honest(sourceAddress(n));
                const std::string heard = honest.Ask("authenticate {\"code\":\"" + proofOf("0042") + "\"}\n");
                proven += heard == "@authenticate {}";
                refused += heard.find("Too many failed attempts") != std::string::npos;
            });
        }
        stop = true;
        for (auto& carrier : carriers) {
            carrier.join();
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.counters["honest_attempts"] = attempts;
        state.counters["honest_proven"] = proven;
        state.counters["honest_refused"] = refused;
        state.counters["carried_checked_per_s"] = static_cast<double>(checked.load()) / seconds;
        state.counters["carried_unchecked_per_s"] = static_cast<double>(unchecked.load()) / seconds;
        state.counters["carriers_closed"] = closed.load();
        state.SetIterationTime(seconds);
    }
}
// 40 s, an honest proof every 2 s.
BENCHMARK(BM_HonestProofsBesideCarriedOnes)->Args({40})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
