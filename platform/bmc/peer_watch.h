// SPDX-License-Identifier: GPL-3.0-or-later
// Watching the peers' BMCs from the host (standard driver), each as its settings in the
// access file say (port, user, password, cipher suite, workarounds, lease source: config.h).
// Each started target's BMC gets
// an RMCP presence ping at least every min(1 s, time-out / 3) from one pinger thread (and,
// once it has left two pings unanswered, Get Channel Authentication Capabilities too), and a
// session of its own (peer_user, user privilege) on which a thread of its own reads the
// watchdog lease with Get Watchdog Timer as often, judged over the successive readings
// (lease_judge.h); a peer whose lease source is `none` gets no session: its BMC's presence
// is all that is judged. Results are computed from what those threads last saw, so reading them
// never waits for a BMC.
//
// Thread-safe: the library's calls and the watcher threads share the state under one mutex,
// which no thread holds while it talks to a BMC.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "lease_judge.h"
#include "peer_session.h"
#include "transport.h"
#include "watchdog.h"
#include "zvrbmc.h"
#include "zvrbmc_admin.h"

namespace tavik::bmc {

// What was last heard of one peer's BMC, for tools.
struct PeerView {
    std::uint32_t ip = 0;            // network byte order
    int answer_age_ms = -1;          // since its BMC last answered (ping or session); -1: never
    bool pong_seen = false;          // it answered a presence ping at least once
    bool session = false;            // a session to it is open
    bool lease_read = false;         // its watchdog was read at least once
    wdt::State lease{};              // the last reading
    int lease_age_ms = -1;           // since that reading
    bool live = false;               // its host holds a live lease now
    bool running_bit_wrong = false;  // its BMC's running bit is wrong: judged by the countdown
    LeaseSource lease_source = LeaseSource::Watchdog;  // what its BMC is expected to show
    std::string why;                                   // why it is not heard, or what its lease is
};

class PeerWatch {
  public:
    using Clock = std::chrono::steady_clock;
    // Opens a session to the BMC at `host` ("address:port") whose requests wait at most
    // `session_ms`; null with the reason otherwise. Called from the watcher threads.
    using Links = std::function<std::unique_ptr<Transport>(const std::string &host, unsigned session_ms,
                                                           OpenFailure &failure)>;

    // Without `links`, sessions are FreeIPMI's (peer_session.h) as the config's peer user,
    // with the password its file holds at each login (a mended file needs no restart).
    explicit PeerWatch(const Config &cfg, Links links = {});
    ~PeerWatch();
    PeerWatch(const PeerWatch &) = delete;
    PeerWatch &operator=(const PeerWatch &) = delete;

    // Replaces the 16 slots of block 1 or 2; an unchanged started slot keeps its history.
    void program(std::uint8_t block, const BMC_INFO_SET *first);
    // The result records of a block, as the heartbeat firmware would report them now.
    void results(std::uint8_t block, BMC_INFO_GET *first);
    // What the slots of a block hold, with the result each would report now.
    void held(std::uint8_t block, zvrbmc_held_target *first);
    std::vector<PeerView> peers();

  private:
    struct Slot {
        std::uint32_t ip = 0;
        std::uint8_t ctrl = 0;
        std::uint8_t timeout = 0;
        Clock::time_point started{};
    };
    struct Peer {
        std::uint32_t ip = 0;
        PeerSettings settings;
        bool stop = false;
        bool done = false;
        unsigned period_ms = 1000;
        unsigned session_ms = 1000;
        bool answered = false;
        Clock::time_point last_answer{};
        bool pong_seen = false;
        unsigned pings = 0;  // rounds pinged without any pong yet
        // After a refused login the next waits one check period, then twice as long each
        // time up to kMaxLoginDelayMs: BMCs lock out or slow down an address that fails
        // again and again. 0: no refusal since the last session.
        unsigned login_delay_ms = 0;
        Clock::time_point next_login{};
        bool session = false;
        LeaseJudge judge;
        std::string why = "no answer yet";
        std::thread thread;
    };

    void session_loop(std::shared_ptr<Peer> p);
    void ping_loop();
    void read_lease(Peer &p, Transport &bmc);
    std::unique_ptr<Transport> log_in(Peer &p, const std::string &host, unsigned period, unsigned session_ms);
    std::uint8_t peer_suite(const PeerSettings &peer, const std::string &host, unsigned session_ms);
    void update_peers();
    void reap(bool all);
    // The result state and status of one slot now; mu_ held.
    void judge(const Slot &s, Clock::time_point now, std::uint8_t &state, std::uint8_t &status) const;
    bool live_now(const Peer &p, Clock::time_point now) const;

    Config cfg_;
    Links links_;
    std::mutex mu_;
    std::condition_variable cv_;
    Slot slots_[BMC_SLOTS];
    std::map<std::uint32_t, std::shared_ptr<Peer>> peers_;
    std::vector<std::shared_ptr<Peer>> retired_;
    bool stopping_ = false;
    std::string ping_error_;                      // why no presence ping goes out, if so
    std::map<std::string, std::uint8_t> suites_;  // host -> the cipher suite chosen for it
    std::thread pinger_;
};

// The longest wait between two logins a BMC refused.
inline constexpr unsigned kMaxLoginDelayMs = 60000;

// The period of a target's checks: min(1 s, time-out / 3), at least 100 ms.
unsigned check_period_ms(unsigned timeout_s);

}  // namespace tavik::bmc
