// SPDX-License-Identifier: GPL-3.0-or-later
// Kept whole past 500 lines: a fuzz target is one input function, and its model of
// the segment must check every operation the library offers on it.
// Fuzz target: what libzvripc accepts of a damaged segment. One namespace is created per
// process; each input overwrites bytes of its two segments (/NAME.nm, /NAME.cm), resizes
// them, rewrites header fields, counts, names and the lock, and then the daemon's attach
// calls and ipc_open look at the result. What must hold:
//  - attach either accepts or refuses with "segment refused" or "lock unavailable",
//    naming the segment, and within its bounded wait: nothing blocks for ever;
//  - a segment whose only changes are in values (states, statuses, wait status,
//    counters, action, ratio) is accepted;
//  - once accepted, every read, enumeration and write agrees with the segment's bytes as
//    read here through layout.h: each enumeration, by the two-call protocol, is a closed
//    list of exactly the reported size, a buffer one byte short is refused untouched,
//    every named node and resource is found with its priority and states, writes of
//    valid values land and invalid ones are refused;
//  - ipc_open refuses exactly what attach refused, and its snapshot agrees.
// ASan sees every byte the library reads outside the mapping's objects on the heap; a
// read past the mapping faults. The segments are restored before the next input.
// Offsets and sizes come from layout.h only, so the target follows a changed layout.
// Single-threaded.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "fuzz_check.h"
#include "layout.h"
#include "zvripc.h"
#include "zvripc_admin.h"

namespace {

using zvripc::CmSegment;
using zvripc::NmHeader;
using zvripc::NodeRecord;
using zvripc::RscRecord;
using Bytes = std::vector<std::uint8_t>;

// The namespace as created: names of several lengths (one of each field's maximum),
// priorities including 0, and a resource type the daemon does not use.
const zvripc_node_def kNodes[] = {
    {"node1", 1},
    {"n", 0},
    {"node-with-a-long-name-0123456789-0123456789-0123456789-0123456789-0123456789-0123456789-"
     "0123456789-0123456789-0123456789-0123456789-0123456789-0123456789-0123456789-0123456789-"
     "0123456789-0123456789-0123456789-0123456789-012345678901",
     77},
    {"node4", 4},
};
const zvripc_rsc_def kRscs[] = {
    {"tavik", "hb1", 1},
    {"tavik", "hb-with-a-31-byte-long-name-012", 2},
    {"other", "disk", 7},
};

constexpr std::uint64_t kMaxObjectSize = 1 << 20;  // grown objects stay small
constexpr int kMaxEdits = 16;
constexpr std::size_t kMaxStatePairs = 64;  // states checked per input

std::string ns;
std::string nm_object, cm_object;
Bytes nm_pristine, cm_pristine;

// ---- the objects, through their names ----

int open_object(const std::string &object) {
    int fd = shm_open(object.c_str(), O_RDWR, 0);
    FUZZ_CHECK(fd >= 0, "%s: cannot open", object.c_str());
    return fd;
}

Bytes read_object(const std::string &object) {
    int fd = open_object(object);
    struct stat st {};
    FUZZ_CHECK(fstat(fd, &st) == 0, "%s: cannot stat", object.c_str());
    Bytes b(static_cast<std::size_t>(st.st_size));
    FUZZ_CHECK(pread(fd, b.data(), b.size(), 0) == static_cast<ssize_t>(b.size()), "%s: short read",
               object.c_str());
    close(fd);
    return b;
}

void write_object(const std::string &object, const Bytes &b) {
    int fd = open_object(object);
    FUZZ_CHECK(ftruncate(fd, static_cast<off_t>(b.size())) == 0, "%s: cannot resize", object.c_str());
    FUZZ_CHECK(pwrite(fd, b.data(), b.size(), 0) == static_cast<ssize_t>(b.size()), "%s: short write",
               object.c_str());
    close(fd);
}

template <class T>
T load(const Bytes &b, std::uint64_t off) {
    T v{};
    if (off + sizeof v <= b.size()) {
        std::memcpy(&v, b.data() + off, sizeof v);
    }
    return v;
}

std::string field_text(const Bytes &b, std::uint64_t off, std::size_t size) {
    if (off + size > b.size()) {
        return {};
    }
    const char *p = reinterpret_cast<const char *>(b.data() + off);
    return std::string(p, strnlen(p, size));
}

// ---- the edits an input makes ----

struct Field {
    std::uint64_t offset;
    unsigned width;  // 4 or 8
};

const std::vector<Field> &nm_fields() {
    static const std::vector<Field> f = {
        {offsetof(NmHeader, prefix) + offsetof(zvripc::Prefix, magic), 4},
        {offsetof(NmHeader, prefix) + offsetof(zvripc::Prefix, version), 4},
        {offsetof(NmHeader, prefix) + offsetof(zvripc::Prefix, header_size), 4},
        {offsetof(NmHeader, prefix) + offsetof(zvripc::Prefix, total_size), 8},
        {offsetof(NmHeader, node_count), 4},
        {offsetof(NmHeader, rsc_count), 4},
        {offsetof(NmHeader, node_record_size), 4},
        {offsetof(NmHeader, rsc_record_size), 4},
        {offsetof(NmHeader, waitstat), 4},
        {offsetof(NmHeader, changes), 8},
        {offsetof(NmHeader, recoveries), 8},
        {zvripc::nm_nodes_offset() + offsetof(NodeRecord, priority), 4},
        {zvripc::nm_nodes_offset() + sizeof(NodeRecord) + offsetof(NodeRecord, priority), 4},
    };
    return f;
}

const std::vector<Field> &cm_fields() {
    static const std::vector<Field> f = {
        {offsetof(CmSegment, prefix) + offsetof(zvripc::Prefix, magic), 4},
        {offsetof(CmSegment, prefix) + offsetof(zvripc::Prefix, version), 4},
        {offsetof(CmSegment, prefix) + offsetof(zvripc::Prefix, header_size), 4},
        {offsetof(CmSegment, prefix) + offsetof(zvripc::Prefix, total_size), 8},
        {offsetof(CmSegment, action), 4},
        {offsetof(CmSegment, ratio), 4},
        {offsetof(CmSegment, period), 4},
        {offsetof(CmSegment, recoveries), 8},
        {offsetof(CmSegment, acttype), 8},
        {offsetof(CmSegment, acttype) + ZVRIPC_ACTTYPE_MAX - 7, 8},
    };
    return f;
}

// Lock words worth trying that a byte-flipping fuzzer would not find: this thread and
// an id above any pid_max, with the kernel's owner-died and waiters bits. (A live holder
// makes attach wait its full second; the library's tests cover that, and here it would
// only slow the run.)
std::int32_t lock_word(std::uint8_t choice, std::int32_t raw) {
    const std::int32_t holders[] = {0, static_cast<std::int32_t>(gettid()), 0x3ffffff0, raw & 0x3fffffff};
    const std::uint32_t flags[] = {0, 0x40000000u, 0x80000000u, 0xc0000000u};
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(holders[choice % 4]) |
                                     flags[(choice / 4) % 4]);
}

class Editor {
  public:
    Editor(const std::string &object, std::uint64_t lock_offset)
        : fd_(open_object(object)), lock_offset_(lock_offset) {}
    ~Editor() { close(fd_); }

    std::uint64_t size() const {
        struct stat st {};
        fstat(fd_, &st);
        return static_cast<std::uint64_t>(st.st_size);
    }
    void write(std::uint64_t off, const void *data, std::size_t len) {
        if (len > 0 && off + len <= kMaxObjectSize) {
            (void)!pwrite(fd_, data, len, static_cast<off_t>(off));
        }
    }
    template <class T>
    T read(std::uint64_t off) const {
        T v{};
        (void)!pread(fd_, &v, sizeof v, static_cast<off_t>(off));
        return v;
    }
    void replace(const Bytes &b) {
        resize(b.size());
        write(0, b.data(), b.size());
    }
    void resize(std::uint64_t size) {
        (void)!ftruncate(fd_, static_cast<off_t>(std::min(size, kMaxObjectSize)));
    }
    std::uint64_t lock_offset() const { return lock_offset_; }

  private:
    int fd_;
    std::uint64_t lock_offset_;
};

// The as-created node-manager segment with nodes and rscs records instead: the first
// ones as created, further ones with new names and ids, every state set, so that the
// checks after attach see other shapes than the one made at start.
Bytes reshaped(std::uint32_t nodes, std::uint32_t rscs) {
    Bytes b(zvripc::nm_total_size(nodes, rscs), 0);
    std::memcpy(b.data(), nm_pristine.data(), sizeof(NmHeader));
    auto *hdr = reinterpret_cast<NmHeader *>(b.data());
    hdr->node_count = nodes;
    hdr->rsc_count = rscs;
    hdr->prefix.total_size = b.size();
    for (std::uint32_t i = 0; i < nodes; ++i) {
        NodeRecord rec{};
        const std::string name = i < std::size(kNodes) ? kNodes[i].name : "node-" + std::to_string(i);
        std::memcpy(rec.name, name.data(), name.size());
        rec.priority = i < std::size(kNodes) ? kNodes[i].priority : 1000 + static_cast<int>(i);
        std::memcpy(b.data() + zvripc::nm_nodes_offset() + i * sizeof rec, &rec, sizeof rec);
    }
    for (std::uint32_t j = 0; j < rscs; ++j) {
        RscRecord rec{};
        const std::string type = j < std::size(kRscs) ? kRscs[j].type : j % 2 ? "tavik" : "other";
        const std::string name = j < std::size(kRscs) ? kRscs[j].name : "rsc-" + std::to_string(j);
        std::memcpy(rec.type, type.data(), type.size());
        std::memcpy(rec.name, name.data(), name.size());
        rec.priority = static_cast<int>(j);
        rec.status = 9;
        std::memcpy(b.data() + zvripc::nm_rscs_offset(nodes) + j * sizeof rec, &rec, sizeof rec);
    }
    const std::int32_t states[] = {1, 2, 9, 15};
    for (std::uint64_t k = 0; k < static_cast<std::uint64_t>(nodes) * rscs; ++k) {
        std::memcpy(b.data() + zvripc::nm_states_offset(nodes, rscs) + k * 4, &states[k % 4], 4);
    }
    return b;
}

void write_field(Editor &e, const Field &f, fuzz::Reader &in) {
    const std::uint8_t mode = in.byte();
    const std::int32_t raw = in.int32();
    std::uint64_t value = 0;
    if (f.width == 8) {
        value = e.read<std::uint64_t>(f.offset);
    } else {
        value = e.read<std::uint32_t>(f.offset);
    }
    if (mode % 2 == 0) {
        value = static_cast<std::uint64_t>(static_cast<std::int64_t>(raw));  // a new value
    } else {
        value +=
            static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int8_t>(raw)));  // nudged
    }
    if (f.width == 8) {
        e.write(f.offset, &value, 8);
    } else {
        auto v32 = static_cast<std::uint32_t>(value);
        e.write(f.offset, &v32, 4);
    }
}

void apply_edit(Editor &nm, Editor &cm, fuzz::Reader &in) {
    const std::uint8_t op = in.byte();
    const bool on_nm = op % 2 == 0;
    Editor &e = on_nm ? nm : cm;
    switch ((op / 2) % 6) {
        case 0: {  // raw bytes anywhere, a little past the end included
            const std::uint64_t off = static_cast<std::uint16_t>(in.int32()) % (e.size() + 16);
            const std::size_t len = in.byte() % 33;
            std::uint8_t data[32];
            for (std::size_t i = 0; i < len; ++i) {
                data[i] = in.byte();
            }
            e.write(off, data, len);
            break;
        }
        case 1: {  // cut or grow, by a little or to any size
            const std::int32_t v = in.int32();
            const auto size = static_cast<std::int64_t>(e.size());
            e.resize(static_cast<std::uint64_t>(
                v & 1 ? std::max<std::int64_t>(0, size + static_cast<std::int8_t>(v >> 8))
                      : (v >> 1) & 0xfffff));
            break;
        }
        case 2: {  // a header field: a new value or the old one nudged
            const auto &fields = on_nm ? nm_fields() : cm_fields();
            write_field(e, fields[in.byte() % fields.size()], in);
            break;
        }
        case 3: {  // another shape, made whole: new counts, records and size that fit
            if (on_nm) {
                nm.replace(reshaped(in.byte() % 48, in.byte() % 48));
            }
            break;
        }
        case 4: {  // a name of a node or resource, with or without its NUL
            if (!on_nm) {
                break;
            }
            const std::uint8_t which = in.byte();
            const std::uint32_t nodes = nm.read<std::uint32_t>(offsetof(NmHeader, node_count)) % 64;
            const std::uint32_t rscs = nm.read<std::uint32_t>(offsetof(NmHeader, rsc_count)) % 64;
            const std::uint32_t index = in.byte();
            std::uint64_t off = 0;
            std::size_t room = 0;
            if (which % 3 == 0) {
                off = zvripc::nm_nodes_offset() + (index % std::max(nodes, 1u)) * sizeof(NodeRecord) +
                      offsetof(NodeRecord, name);
                room = sizeof(NodeRecord::name);
            } else {
                off = zvripc::nm_rscs_offset(nodes) + (index % std::max(rscs, 1u)) * sizeof(RscRecord) +
                      (which % 3 == 1 ? offsetof(RscRecord, type) : offsetof(RscRecord, name));
                room = which % 3 == 1 ? sizeof(RscRecord::type) : sizeof(RscRecord::name);
            }
            std::string text(which & 0x40 ? room : in.byte() % (room + 1), '\0');
            for (char &c : text) {
                c = static_cast<char>(in.byte());
            }
            if (which & 0x80) {
                text += '\0';
            }
            nm.write(off, text.data(), std::min(text.size(), room));
            break;
        }
        default: {  // the lock: its word, or any other 4 bytes of it
            const std::uint8_t where = in.byte();
            const std::uint8_t choice = in.byte();
            const std::int32_t raw = in.int32();
            const std::uint64_t off = e.lock_offset() + (where % (sizeof(pthread_mutex_t) / 4)) * 4;
            const std::int32_t value = where & 0x80 ? raw : lock_word(choice, raw);
            e.write(off, &value, 4);
            break;
        }
    }
}

// ---- what the bytes say, read here through layout.h ----

struct RscView {
    std::string type, name;
    int priority;
};

struct NmImage {
    std::uint32_t nodes = 0, rscs = 0;
    std::vector<std::pair<std::string, int>> node;  // name, priority
    std::vector<RscView> rsc;
    std::int32_t waitstat = 0;
};

NmImage parse_nm(const Bytes &b) {
    NmImage im;
    im.nodes = load<std::uint32_t>(b, offsetof(NmHeader, node_count));
    im.rscs = load<std::uint32_t>(b, offsetof(NmHeader, rsc_count));
    im.waitstat = load<std::int32_t>(b, offsetof(NmHeader, waitstat));
    for (std::uint32_t i = 0; i < im.nodes; ++i) {
        const std::uint64_t at = zvripc::nm_nodes_offset() + i * sizeof(NodeRecord);
        im.node.emplace_back(field_text(b, at + offsetof(NodeRecord, name), sizeof(NodeRecord::name)),
                             load<std::int32_t>(b, at + offsetof(NodeRecord, priority)));
    }
    for (std::uint32_t j = 0; j < im.rscs; ++j) {
        const std::uint64_t at = zvripc::nm_rscs_offset(im.nodes) + j * sizeof(RscRecord);
        im.rsc.push_back({field_text(b, at + offsetof(RscRecord, type), sizeof(RscRecord::type)),
                          field_text(b, at + offsetof(RscRecord, name), sizeof(RscRecord::name)),
                          load<std::int32_t>(b, at + offsetof(RscRecord, priority))});
    }
    return im;
}

std::int32_t state_in(const Bytes &b, const NmImage &im, std::uint32_t r, std::uint32_t n) {
    return load<std::int32_t>(b, zvripc::nm_states_offset(im.nodes, im.rscs) +
                                     (static_cast<std::uint64_t>(r) * im.nodes + n) * sizeof(std::int32_t));
}

std::int32_t status_in(const Bytes &b, const NmImage &im, std::uint32_t r) {
    return load<std::int32_t>(
        b, zvripc::nm_rscs_offset(im.nodes) + r * sizeof(RscRecord) + offsetof(RscRecord, status));
}

// Bytes of the as-created segments that hold values rather than structure: a change
// there alone must never make attach refuse.
struct Range {
    std::uint64_t from, to;
};

std::vector<Range> nm_value_ranges() {
    const std::uint32_t n = std::size(kNodes);
    const std::uint32_t r = std::size(kRscs);
    std::vector<Range> v = {
        {offsetof(NmHeader, prefix) + offsetof(zvripc::Prefix, writer_gid),
         offsetof(NmHeader, prefix) + offsetof(zvripc::Prefix, writer_gid) + 4},
        {offsetof(NmHeader, changes), offsetof(NmHeader, changes) + 8},
        {offsetof(NmHeader, recoveries), offsetof(NmHeader, recoveries) + 8},
        {offsetof(NmHeader, waitstat), offsetof(NmHeader, waitstat) + 4},
        {zvripc::nm_states_offset(n, r), zvripc::nm_liveness_offset(n, r)},
        // The liveness block's size and slot count are structure; its records are values.
        {zvripc::nm_liveness_offset(n, r) + offsetof(zvripc::LivenessBlock, daemon),
         zvripc::nm_total_size(n, r)},
    };
    for (std::uint32_t j = 0; j < r; ++j) {
        const std::uint64_t status =
            zvripc::nm_rscs_offset(n) + j * sizeof(RscRecord) + offsetof(RscRecord, status);
        v.push_back({status, status + 4});
    }
    return v;
}

std::vector<Range> cm_value_ranges() {
    return {{offsetof(CmSegment, recoveries), offsetof(CmSegment, recoveries) + 8},
            {offsetof(CmSegment, action), offsetof(CmSegment, action) + 4},
            {offsetof(CmSegment, ratio), offsetof(CmSegment, ratio) + 4},
            {offsetof(CmSegment, period), offsetof(CmSegment, period) + 4},
            {offsetof(CmSegment, acttype), offsetof(CmSegment, acttype) + ZVRIPC_ACTTYPE_MAX}};
}

bool only_values_changed(const Bytes &now, const Bytes &pristine, const std::vector<Range> &values) {
    if (now.size() != pristine.size()) {
        return false;
    }
    for (std::size_t i = 0; i < now.size(); ++i) {
        if (now[i] != pristine[i] && std::none_of(values.begin(), values.end(),
                                                  [i](const Range &r) { return i >= r.from && i < r.to; })) {
            return false;
        }
    }
    return true;
}

// ---- the checks ----

int timed_attach(int (*attach)(), const char *what) {
    const auto start = std::chrono::steady_clock::now();
    const int rc = attach();
    const auto took = std::chrono::steady_clock::now() - start;
    FUZZ_CHECK(took < std::chrono::seconds(3), "%s took %lld ms", what,
               static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    return rc;
}

void check_refusal(int rc, const std::string &object, const char *what) {
    FUZZ_CHECK(rc == ZVRIPC_OK || rc == ZVRIPC_EBADSEG || rc == ZVRIPC_ELOCK, "%s: result %d (%s)", what, rc,
               ipc_last_error());
    if (rc != ZVRIPC_OK) {
        FUZZ_CHECK(std::strstr(ipc_last_error(), object.c_str()) != nullptr,
                   "%s: a refusal not naming %s: %s", what, object.c_str(), ipc_last_error());
    }
}

std::string closed_list(const std::vector<std::string> &names) {
    std::string list;
    for (const auto &n : names) {
        list += n;
        list += '\0';
    }
    if (names.empty()) {
        list += '\0';
    }
    list += '\0';
    return list;
}

// One enumeration by the two-call protocol, held to the list it must give.
template <class Enum>
void check_enum(Enum &&enumerate, const std::string &want, const std::string &what) {
    int size = 0;
    int rc = enumerate(nullptr, &size);
    FUZZ_CHECK(rc == ZVRIPC_OK && size == static_cast<int>(want.size()),
               "%s: size call %d, size %d, want %zu", what.c_str(), rc, size, want.size());
    // Exactly sized heap buffers: one byte written past them is an ASan report.
    std::unique_ptr<char[]> buf(new char[static_cast<std::size_t>(size)]);
    std::memset(buf.get(), 0x5a, static_cast<std::size_t>(size));
    int given = size;
    rc = enumerate(buf.get(), &given);
    FUZZ_CHECK(rc == ZVRIPC_OK && given == size, "%s: fill call %d, size %d", what.c_str(), rc, given);
    FUZZ_CHECK(std::memcmp(buf.get(), want.data(), want.size()) == 0,
               "%s: the list differs from the segment's names", what.c_str());
    std::unique_ptr<char[]> small(new char[static_cast<std::size_t>(size - 1)]);
    std::memset(small.get(), 0x5a, static_cast<std::size_t>(size - 1));
    int short_size = size - 1;
    rc = enumerate(small.get(), &short_size);
    FUZZ_CHECK(rc == ZVRIPC_ESIZE && short_size == size, "%s: a buffer one short gave %d, size %d",
               what.c_str(), rc, short_size);
    for (int i = 0; i < size - 1; ++i) {
        FUZZ_CHECK(small[static_cast<std::size_t>(i)] == 0x5a, "%s: a refused buffer was written",
                   what.c_str());
    }
    int negative = -1;
    FUZZ_CHECK(enumerate(buf.get(), &negative) == ZVRIPC_EARG, "%s: a negative size is not refused",
               what.c_str());
}

constexpr bool valid_state(int s) {
    return s == 1 || s == 2 || s == 9 || s == 15;
}
constexpr bool valid_status(int s) {
    return s == 0 || s == 3 || s == 4 || s == 9 || s == 15;
}

int pick_value(std::uint8_t b) {
    const int values[] = {1, 2, 9, 15, 0, 3, 4, -1, 16, 0x7fffffff};
    return b < 200 ? values[b % 10] : b;
}

void check_nm(const Bytes &bytes, fuzz::Reader &in) {
    const NmImage im = parse_nm(bytes);
    std::vector<std::string> node_names;
    for (const auto &n : im.node) {
        node_names.push_back(n.first);
    }
    check_enum([](char *b, int *s) { return shmnm_enumnode(b, s); }, closed_list(node_names),
               "shmnm_enumnode");
    std::set<std::string> types = {"tavik", "no-such-type", std::string(ZVRIPC_RSC_TYPE_MAX + 8, 't')};
    for (const auto &r : im.rsc) {
        types.insert(r.type);
    }
    for (const auto &type : types) {
        std::vector<std::string> names;
        for (const auto &r : im.rsc) {
            if (r.type == type) {
                names.push_back(r.name);
            }
        }
        check_enum([&type](char *b, int *s) { return shmnm_enumrsc(type.c_str(), b, s); }, closed_list(names),
                   "shmnm_enumrsc(" + type + ")");
    }
    FUZZ_CHECK(shmnm_enumnode(nullptr, nullptr) == ZVRIPC_EARG, "a null size is not refused");

    for (const auto &[name, priority] : im.node) {
        int pri = -12345;
        int rc = shmnm_getnodepri(name.c_str(), &pri);
        FUZZ_CHECK(rc == ZVRIPC_OK && pri == priority, "node \"%s\": %d, priority %d, want %d", name.c_str(),
                   rc, pri, priority);
    }
    int pri = 0;
    FUZZ_CHECK(shmnm_getnodepri("", &pri) == ZVRIPC_ENOTFOUND, "an empty node name was found");
    for (const auto &r : im.rsc) {
        int rc = shmnm_getrscpri(r.type.c_str(), r.name.c_str(), &pri);
        FUZZ_CHECK(rc == ZVRIPC_OK && pri == r.priority, "resource %s/%s: %d, priority %d, want %d",
                   r.type.c_str(), r.name.c_str(), rc, pri, r.priority);
    }

    int waitstat = -1;
    FUZZ_CHECK(shmnm_getwaitstat(&waitstat) == ZVRIPC_OK && waitstat == im.waitstat,
               "wait status %d, want %d", waitstat, im.waitstat);

    // States: read each checked pair, then write one value to it and read it back.
    std::size_t pairs = 0;
    for (std::uint32_t r = 0; r < im.rscs && pairs < kMaxStatePairs; ++r) {
        const RscView &rsc = im.rsc[r];
        for (std::uint32_t n = 0; n < im.nodes && pairs < kMaxStatePairs; ++n, ++pairs) {
            const int id = im.node[n].second;
            int stat = -12345;
            int rc = shmnm_getrscsvstat(rsc.type.c_str(), rsc.name.c_str(), id, &stat);
            FUZZ_CHECK(rc == ZVRIPC_OK && stat == state_in(bytes, im, r, n),
                       "state %s/%s@%d: %d, %d, want %d", rsc.type.c_str(), rsc.name.c_str(), id, rc, stat,
                       state_in(bytes, im, r, n));
            const int value = pick_value(in.byte());
            rc = shmnm_setrscsvstat(rsc.type.c_str(), rsc.name.c_str(), id, value);
            FUZZ_CHECK(rc == (valid_state(value) ? ZVRIPC_OK : ZVRIPC_EARG), "setting state %d gave %d",
                       value, rc);
            int back = 0;
            FUZZ_CHECK(shmnm_getrscsvstat(rsc.type.c_str(), rsc.name.c_str(), id, &back) == ZVRIPC_OK &&
                           back == (valid_state(value) ? value : stat),
                       "state %s/%s@%d reads %d after setting %d", rsc.type.c_str(), rsc.name.c_str(), id,
                       back, value);
        }
        const int status = pick_value(in.byte());
        int rc = shmnm_setrscstat(rsc.type.c_str(), rsc.name.c_str(), status);
        FUZZ_CHECK(rc == (valid_status(status) ? ZVRIPC_OK : ZVRIPC_EARG), "setting status %d gave %d",
                   status, rc);
    }
    if (im.rscs > 0) {
        std::set<int> ids;
        for (const auto &n : im.node) {
            ids.insert(n.second);
        }
        int absent = 0;
        while (ids.count(absent) != 0) {
            ++absent;
        }
        int stat = 0;
        FUZZ_CHECK(shmnm_getrscsvstat(im.rsc[0].type.c_str(), im.rsc[0].name.c_str(), absent, &stat) ==
                       ZVRIPC_ENOTFOUND,
                   "node id %d that no node has was found", absent);
    }
    if (std::none_of(im.rsc.begin(), im.rsc.end(),
                     [](const RscView &r) { return r.name == "no-such-resource"; })) {
        FUZZ_CHECK(shmnm_getrscsvstat("tavik", "no-such-resource", 1, &pri) == ZVRIPC_ENOTFOUND,
                   "a resource that is not there was found");
    }
}

void check_cm(const Bytes &bytes) {
    int action = -1;
    char acttype[32];
    std::memset(acttype, 0x5a, sizeof acttype);
    int rc = shmcm_getaction(&action, acttype, 0);
    const std::string want_type = field_text(bytes, offsetof(CmSegment, acttype), ZVRIPC_ACTTYPE_MAX);
    FUZZ_CHECK(rc == ZVRIPC_OK && action == load<std::int32_t>(bytes, offsetof(CmSegment, action)) &&
                   strnlen(acttype, sizeof acttype) < sizeof acttype && want_type == acttype,
               "action %d (%d), type \"%.32s\", want \"%s\"", action, rc, acttype, want_type.c_str());
    FUZZ_CHECK(shmcm_getaction(&action, acttype, 1) == ZVRIPC_EARG, "flags 1 are not refused");
    int ratio = 0, period = 0;
    rc = shmcm_getratio(&ratio, &period);
    FUZZ_CHECK(rc == ZVRIPC_OK && ratio == load<std::int32_t>(bytes, offsetof(CmSegment, ratio)) &&
                   period == load<std::int32_t>(bytes, offsetof(CmSegment, period)),
               "ratio %d and period %d (%d)", ratio, period, rc);
    FUZZ_CHECK(shmcm_getratio(&ratio, nullptr) == ZVRIPC_OK, "a null period is refused");
}

void check_snapshot(const Bytes &nm_bytes, int expect) {
    zvripc_handle *h = nullptr;
    const auto start = std::chrono::steady_clock::now();
    int rc = ipc_open(ns.c_str(), &h);
    FUZZ_CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(5),
               "ipc_open waited too long");
    FUZZ_CHECK(rc == expect, "ipc_open gave %d where attach gave %d (%s)", rc, expect, ipc_last_error());
    if (rc != ZVRIPC_OK) {
        FUZZ_CHECK(h == nullptr, "a refused ipc_open left a handle");
        return;
    }
    zvripc_snapshot *snap = nullptr;
    rc = ipc_snapshot(h, &snap);
    FUZZ_CHECK(rc == ZVRIPC_OK, "snapshot: %d (%s)", rc, ipc_last_error());
    const NmImage im = parse_nm(nm_bytes);
    FUZZ_CHECK(snap->node_count == static_cast<int>(im.nodes) && snap->rsc_count == static_cast<int>(im.rscs),
               "snapshot of %d nodes and %d resources, segment %u and %u", snap->node_count, snap->rsc_count,
               im.nodes, im.rscs);
    for (std::uint32_t n = 0; n < im.nodes; ++n) {
        FUZZ_CHECK(im.node[n].first == snap->nodes[n].name && im.node[n].second == snap->nodes[n].priority,
                   "snapshot node %u", n);
    }
    for (std::uint32_t r = 0; r < im.rscs; ++r) {
        const zvripc_snap_rsc &s = snap->resources[r];
        FUZZ_CHECK(im.rsc[r].type == s.type && im.rsc[r].name == s.name && im.rsc[r].priority == s.priority &&
                       s.status == status_in(nm_bytes, im, r),
                   "snapshot resource %u", r);
        for (std::uint32_t n = 0; n < im.nodes; ++n) {
            FUZZ_CHECK(snap->states[r * im.nodes + n] == state_in(nm_bytes, im, r, n), "snapshot state %u/%u",
                       r, n);
        }
    }
    ipc_snapshot_free(snap);
    ipc_close(h);
}

void detach_all() {
    shmnm_detach();
    shmcm_detach();
    sem_detach();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Named after this process's scratch directory, so that scripts/fuzz.sh can remove
    // the objects of a run that stopped on a finding.
    const std::string &dir = fuzz::scratch_dir();
    ns = "tavik-fuzz-ipc" + dir.substr(dir.rfind('.'));
    nm_object = "/" + ns + ".nm";
    cm_object = "/" + ns + ".cm";
    ::setenv("TAVIK_IPC_NAME", ns.c_str(), 1);
    zvripc_create_opts opts{1, -1};
    FUZZ_CHECK(ipc_create(ns.c_str(), kNodes, static_cast<int>(std::size(kNodes)), kRscs,
                          static_cast<int>(std::size(kRscs)), &opts) == ZVRIPC_OK,
               "creating %s: %s", ns.c_str(), ipc_last_error());
    std::atexit([] { ipc_destroy(ns.c_str()); });
    nm_pristine = read_object(nm_object);
    cm_pristine = read_object(cm_object);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::Reader in(data, size);
    {
        Editor nm(nm_object, offsetof(NmHeader, lock));
        Editor cm(cm_object, offsetof(CmSegment, lock));
        const int edits = in.byte() % (kMaxEdits + 1);
        for (int i = 0; i < edits; ++i) {
            apply_edit(nm, cm, in);
        }
    }
    const Bytes nm_bytes = read_object(nm_object);
    const Bytes cm_bytes = read_object(cm_object);

    // The daemon's order: semaphores, cluster-manager, node-manager segment.
    const int rc_sem = timed_attach(sem_attach, "sem_attach");
    FUZZ_CHECK(rc_sem == ZVRIPC_OK, "sem_attach: %d (%s)", rc_sem, ipc_last_error());
    const int rc_cm = timed_attach(shmcm_attach, "shmcm_attach");
    check_refusal(rc_cm, cm_object, "shmcm_attach");
    const int rc_nm = timed_attach(shmnm_attach, "shmnm_attach");
    check_refusal(rc_nm, nm_object, "shmnm_attach");
    FUZZ_CHECK(rc_cm == ZVRIPC_OK || !only_values_changed(cm_bytes, cm_pristine, cm_value_ranges()),
               "a segment with only its values changed was refused: %s", ipc_last_error());
    FUZZ_CHECK(rc_nm == ZVRIPC_OK || !only_values_changed(nm_bytes, nm_pristine, nm_value_ranges()),
               "a segment with only its values changed was refused: %s", ipc_last_error());

    // A refused segment leaves its operations unattached, the others working.
    int waitstat = 0, ratio = 0;
    if (rc_nm != ZVRIPC_OK) {
        FUZZ_CHECK(shmnm_getwaitstat(&waitstat) == ZVRIPC_ENOTATTACHED, "a refused segment serves reads");
        FUZZ_CHECK(sem_set_statchange() == ZVRIPC_ENOTATTACHED, "a status change without the segment");
    }
    if (rc_cm != ZVRIPC_OK) {
        FUZZ_CHECK(shmcm_getratio(&ratio, nullptr) == ZVRIPC_ENOTATTACHED, "a refused segment serves reads");
    }

    // ipc_open opens the node-manager segment first.
    check_snapshot(nm_bytes, rc_nm != ZVRIPC_OK ? rc_nm : rc_cm);
    if (rc_cm == ZVRIPC_OK) {
        check_cm(cm_bytes);
    }
    if (rc_nm == ZVRIPC_OK) {
        check_nm(nm_bytes, in);
        FUZZ_CHECK(sem_set_statchange() == ZVRIPC_OK, "sem_set_statchange: %s", ipc_last_error());
    }

    detach_all();
    write_object(nm_object, nm_pristine);
    write_object(cm_object, cm_pristine);
    return 0;
}
