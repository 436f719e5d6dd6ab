// SPDX-License-Identifier: GPL-3.0-or-later
// Watching the peers' BMCs (peer_watch.h).
#include "peer_watch.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <cstring>

#include "bmc_protocol.h"
#include "cipher_suites.h"
#include "presence.h"

namespace tavik::bmc {

using namespace std::chrono;
namespace proto = bmcproto;

namespace {

constexpr unsigned kMinPeriodMs = 100;
constexpr unsigned kMinSessionMs = 100;
constexpr unsigned kMaxSessionMs = 5000;

int age_ms(PeerWatch::Clock::time_point then, PeerWatch::Clock::time_point now) {
    return static_cast<int>(std::min<long long>(duration_cast<milliseconds>(now - then).count(), 1 << 30));
}

}  // namespace

unsigned check_period_ms(unsigned timeout_s) {
    return std::max(kMinPeriodMs, std::min(1000u, std::max(timeout_s, 1u) * 1000 / 3));
}

PeerWatch::PeerWatch(const Config &cfg, Links links) : cfg_(cfg), links_(std::move(links)) {
    if (!links_) {
        links_ = [this](const std::string &host, unsigned session_ms, OpenFailure &failure) {
            in_addr a{};
            inet_pton(AF_INET, host.substr(0, host.rfind(':')).c_str(), &a);
            const PeerSettings peer = cfg_.peer(a.s_addr);
            std::string password, err;
            if (!read_password(peer.password_file, password, err)) {
                password = peer.password;  // as read when the library started
            }
            const std::uint8_t suite = peer_suite(peer, host, session_ms);
            return std::unique_ptr<Transport>(
                PeerSession::open(peer, password, suite, host, session_ms, failure));
        };
    }
}

PeerWatch::~PeerWatch() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        for (auto &[ip, p] : peers_) {
            p->stop = true;
            retired_.push_back(p);
        }
        peers_.clear();
    }
    cv_.notify_all();
    if (pinger_.joinable()) {
        pinger_.join();
    }
    reap(true);
}

void PeerWatch::program(std::uint8_t block, const BMC_INFO_SET *first) {
    const auto now = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (std::size_t i = 0; i < proto::kBlockRecords; ++i) {
            Slot &s = slots_[(block - 1) * proto::kBlockRecords + i];
            const BMC_INFO_SET &r = first[i];
            if (r.ip != s.ip || r.ctrl != s.ctrl) {
                s.started = now;
            }
            s.ip = r.ip;
            s.ctrl = r.ctrl;
            s.timeout = r.timeout;
        }
        update_peers();
    }
    cv_.notify_all();
    reap(false);
}

// Starts a watcher for every address of a started slot, retires the others; mu_ held.
void PeerWatch::update_peers() {
    std::map<std::uint32_t, unsigned> wanted;  // address -> shortest time-out
    for (const Slot &s : slots_) {
        if (s.ip != 0 && s.ctrl == proto::kCtrlStart) {
            const unsigned t = std::max<unsigned>(s.timeout, 1);
            auto [it, fresh] = wanted.emplace(s.ip, t);
            if (!fresh) {
                it->second = std::min(it->second, t);
            }
        }
    }
    for (auto it = peers_.begin(); it != peers_.end();) {
        if (wanted.count(it->first) == 0) {
            it->second->stop = true;
            retired_.push_back(it->second);
            it = peers_.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto &[ip, timeout_s] : wanted) {
        auto &p = peers_[ip];
        if (!p) {
            p = std::make_shared<Peer>();
            p->ip = ip;
            p->settings = cfg_.peer(ip);
            const auto &wrong = cfg_.peer_running_bit_wrong;
            p->judge =
                LeaseJudge(std::find(wrong.begin(), wrong.end(), ip) != wrong.end(), p->settings.lease);
            if (p->settings.lease == LeaseSource::None) {
                p->why = "lease none: judged by its BMC's presence only";
            }
            p->thread = std::thread(&PeerWatch::session_loop, this, p);
        }
        p->period_ms = check_period_ms(timeout_s);
        // Bounded by the library's timeout_ms too: bmc_term waits for a watcher's last call.
        p->session_ms = std::max(kMinSessionMs, std::min({timeout_s * 1000, cfg_.timeout_ms, kMaxSessionMs}));
    }
    if (!peers_.empty() && !pinger_.joinable()) {
        pinger_ = std::thread(&PeerWatch::ping_loop, this);
    }
}

// Joins retired watchers: those that have ended, or all (waiting for them).
void PeerWatch::reap(bool all) {
    std::vector<std::shared_ptr<Peer>> ended;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto it = retired_.begin(); it != retired_.end();) {
            if (all || (*it)->done) {
                ended.push_back(*it);
                it = retired_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &p : ended) {
        if (p->thread.joinable()) {
            p->thread.join();
        }
    }
}

void PeerWatch::read_lease(Peer &p, Transport &bmc) {
    std::uint8_t cc = 0;
    std::vector<std::uint8_t> data;
    std::string err;
    const int rc = bmc.command(wdt::kNetFnApp, wdt::kCmdGet, {}, cc, data, err);
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mu_);
    if (rc != 0) {
        p.session = false;
        p.why = "Get Watchdog Timer: " + err;
        return;
    }
    p.answered = true;
    p.last_answer = now;
    wdt::State s;
    if (cc != 0) {
        char buf[96];
        (void)std::snprintf(buf, sizeof buf, "its BMC refused Get Watchdog Timer (completion code %#04x)",
                            cc);
        p.why = buf;
        p.judge.forget();
    } else if (!wdt::decode_get(data, s, err)) {
        p.why = "its BMC " + err;
        p.judge.forget();
    } else {
        p.judge.reading(s, now);
        p.why = p.judge.why();
    }
}

// The cipher suite for a peer's BMC at host ("address:port"), asked of it once it answers.
std::uint8_t PeerWatch::peer_suite(const PeerSettings &peer, const std::string &host, unsigned session_ms) {
    {
        std::lock_guard<std::mutex> g(mu_);
        auto it = suites_.find(host);
        if (it != suites_.end()) {
            return it->second;
        }
    }
    std::string note;
    bool settled = false;
    const std::uint8_t suite = session_suite(peer.cipher_suite, host.substr(0, host.rfind(':')), peer.port,
                                             std::min(session_ms / 2, 500u), note, settled);
    if (settled) {
        std::lock_guard<std::mutex> g(mu_);
        suites_[host] = suite;
    }
    return suite;
}

// A new session, unless a refused login asks to wait longer.
std::unique_ptr<Transport> PeerWatch::log_in(Peer &p, const std::string &host, unsigned period,
                                             unsigned session_ms) {
    // Half a period early is on time: the loop wakes once a period.
    const auto tried = Clock::now();
    if (tried + milliseconds(period / 2) < p.next_login) {
        return nullptr;
    }
    OpenFailure failure;
    auto bmc = links_(host, session_ms, failure);
    std::lock_guard<std::mutex> g(mu_);
    p.session = bmc != nullptr;
    if (bmc) {
        p.login_delay_ms = 0;
        return bmc;
    }
    p.judge.forget();
    p.why = "no session as '" + p.settings.user + "': " + failure.why;
    if (failure.refused) {
        p.login_delay_ms = p.login_delay_ms == 0 ? period : std::min(p.login_delay_ms * 2, kMaxLoginDelayMs);
        p.next_login = tried + milliseconds(p.login_delay_ms);
    } else {
        p.login_delay_ms = 0;
    }
    return nullptr;
}

void PeerWatch::session_loop(std::shared_ptr<Peer> p) {
    std::unique_ptr<Transport> bmc;
    const std::string host = ip_text(p->ip) + ":" + std::to_string(p->settings.port);
    const bool presence_only = p->settings.lease == LeaseSource::None;
    std::unique_lock<std::mutex> lock(mu_);
    while (!p->stop) {
        const auto t0 = Clock::now();
        const unsigned period = p->period_ms, session_ms = p->session_ms;
        lock.unlock();
        if (!bmc && !presence_only) {
            bmc = log_in(*p, host, period, session_ms);
        }
        if (bmc) {
            read_lease(*p, *bmc);
            std::lock_guard<std::mutex> g(mu_);
            if (!p->session) {  // the call failed: a new session next round
                bmc.reset();
            }
        }
        lock.lock();
        cv_.wait_until(lock, t0 + milliseconds(period), [&] { return p->stop; });
    }
    lock.unlock();
    bmc.reset();
    std::lock_guard<std::mutex> g(mu_);
    p->session = false;
    p->done = true;
}

void PeerWatch::ping_loop() {
    Pinger pinger;
    std::string err;
    const bool ok = pinger.open(err);
    std::uint8_t tag = 0;
    std::unique_lock<std::mutex> lock(mu_);
    if (!ok) {
        ping_error_ = err;  // each peer's reason says it: only sessions can be heard
    }
    while (!stopping_) {
        unsigned period = 1000;
        struct Target {
            std::uint32_t ip;
            std::uint16_t port;
            bool ask;  // whether to ask for the capabilities too
        };
        std::vector<Target> targets;
        for (const auto &[ip, p] : peers_) {
            // Some BMCs answer no ping: those that left two unanswered are asked as well.
            targets.push_back({ip, p->settings.port, !p->pong_seen && ++p->pings > 2});
            period = std::min(period, p->period_ms);
        }
        lock.unlock();
        tag = static_cast<std::uint8_t>(tag + 1);
        const auto until = Clock::now() + milliseconds(period);
        if (ok) {
            for (const auto &t : targets) {
                pinger.ping(t.ip, t.port, tag);
                if (t.ask) {
                    pinger.ask_capabilities(t.ip, t.port, tag);
                }
            }
        }
        for (;;) {
            const auto left = duration_cast<milliseconds>(until - Clock::now()).count();
            if (left <= 0 || !ok) {
                break;
            }
            pollfd pfd{pinger.fd(), POLLIN, 0};
            // Bounded by 100 ms so that a stop request is seen soon.
            if (poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 100))) <= 0) {
                std::lock_guard<std::mutex> g(mu_);
                if (stopping_) {
                    break;
                }
                continue;
            }
            bool more = true;
            while (more) {
                std::uint32_t ip = 0;
                std::uint16_t port = 0;
                const Pinger::Answer got = pinger.receive(tag, ip, port, more);
                if (got != Pinger::kNone) {
                    std::lock_guard<std::mutex> g(mu_);
                    auto it = peers_.find(ip);
                    if (it != peers_.end() && it->second->settings.port == port) {
                        it->second->answered = true;
                        it->second->pong_seen = it->second->pong_seen || got == Pinger::kPong;
                        it->second->last_answer = Clock::now();
                    }
                }
            }
        }
        lock.lock();
        if (!ok) {
            cv_.wait_until(lock, until, [&] { return stopping_; });
        }
    }
}

bool PeerWatch::live_now(const Peer &p, Clock::time_point now) const {
    return p.judge.live(now);
}

void PeerWatch::judge(const Slot &s, Clock::time_point now, std::uint8_t &state, std::uint8_t &status) const {
    status = 0;
    if (s.ip == 0) {
        state = proto::kResultEmpty;
        return;
    }
    if (s.ctrl != proto::kCtrlStart) {
        state = proto::kResultStopped;
        return;
    }
    const auto timeout = seconds(std::max<unsigned>(s.timeout, 1));
    auto it = peers_.find(s.ip);
    const Peer *p = it == peers_.end() ? nullptr : it->second.get();
    const bool heard = p != nullptr && p->answered && p->last_answer >= s.started;
    if (!heard && now - s.started < timeout) {
        state = proto::kResultCollecting;
        return;
    }
    state = proto::kResultReady;
    if (heard && now - p->last_answer <= timeout) {
        status |= proto::kStatusDatagramSeen;
    }
    // Presence only: the host counts as alive while its BMC answers.
    const bool presence_only = p != nullptr && p->settings.lease == LeaseSource::None;
    if (presence_only ? (status & proto::kStatusDatagramSeen) != 0
                      : p != nullptr && p->judge.read_at() >= s.started && live_now(*p, now)) {
        status |= proto::kStatusHostAlive;
    }
}

void PeerWatch::results(std::uint8_t block, BMC_INFO_GET *first) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mu_);
    for (std::size_t i = 0; i < proto::kBlockRecords; ++i) {
        const Slot &s = slots_[(block - 1) * proto::kBlockRecords + i];
        BMC_INFO_GET &r = first[i];
        std::uint8_t state = 0, status = 0;
        judge(s, now, state, status);
        r.ip = s.ip;
        r.stat[0] = static_cast<std::uint8_t>(state << proto::kResultShift);
        r.stat[1] = status;
        r.timeout = s.timeout;
        r.pad = 0;
    }
}

void PeerWatch::held(std::uint8_t block, zvrbmc_held_target *first) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mu_);
    for (std::size_t i = 0; i < proto::kBlockRecords; ++i) {
        const Slot &s = slots_[(block - 1) * proto::kBlockRecords + i];
        zvrbmc_held_target &h = first[i];
        h.ip = s.ip;
        h.ctrl = s.ip == 0 ? 0 : s.ctrl;
        h.timeout = s.ip == 0 ? 0 : s.timeout;
        judge(s, now, h.result, h.status);
    }
}

std::vector<PeerView> PeerWatch::peers() {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<PeerView> out;
    for (const auto &[ip, p] : peers_) {
        PeerView v;
        v.ip = ip;
        v.answer_age_ms = p->answered ? age_ms(p->last_answer, now) : -1;
        v.pong_seen = p->pong_seen;
        v.session = p->session;
        v.lease_read = p->judge.read();
        v.lease = p->judge.last();
        v.lease_age_ms = v.lease_read ? age_ms(p->judge.read_at(), now) : -1;
        v.live = live_now(*p, now);
        v.running_bit_wrong = p->judge.running_bit_wrong();
        v.lease_source = p->settings.lease;
        v.why = p->why;
        if (p->login_delay_ms > 0 && !p->session) {
            char buf[96];
            (void)std::snprintf(buf, sizeof buf, " (refused: the next login in %.1f s)",
                                std::max(0.0, duration<double>(p->next_login - now).count()));
            v.why += buf;
        }
        if (!ping_error_.empty() && !p->pong_seen) {
            v.why += "; no presence ping: " + ping_error_;
        }
        out.push_back(v);
    }
    return out;
}

}  // namespace tavik::bmc
