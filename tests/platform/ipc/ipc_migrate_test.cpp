// SPDX-License-Identifier: GPL-3.0-or-later
// Migrating and rebuilding a namespace in place: what is refused changes nothing, a
// migration cut short is finished by the next one, processes on the old segments are
// told they were replaced, and a rebuild for a changed configuration keeps by name.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "ipc_support.h"
#include "layout.h"

namespace {

namespace fs = std::filesystem;

std::vector<char> slurp(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void put(const fs::path &file, const std::vector<char> &bytes) {
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
}

class MigrateTest : public ipctest::NamespaceTest {
  protected:
    fs::path seg(const char *kind) const { return "/dev/shm/" + name_ + "." + kind; }
    // A namespace as layout 2 left it, from its fixture, with the semaphores of a new one.
    void install_layout_2() {
        ASSERT_EQ(ipc_create(name_.c_str(), ipctest::three_nodes().data(), 3, ipctest::resources().data(), 3,
                             nullptr),
                  ZVRIPC_OK);
        for (const char *kind : {"nm", "cm"}) {
            fs::remove(seg(kind));
            put(seg(kind), slurp(fs::path(TAVIK_IPC_FIXTURES) / "layout-2" / kind));
        }
    }
    void set_version(const char *kind, std::uint32_t version) {
        std::vector<char> bytes = slurp(seg(kind));
        std::memcpy(bytes.data() + offsetof(zvripc::Prefix, version), &version, sizeof version);
        put(seg(kind), bytes);
    }
};

// Whatever is refused, neither segment changes.
TEST_F(MigrateTest, RefusedLayoutsChangeNothing) {
    struct Case {
        const char *what;
        const char *kind;
        std::uint32_t version;
        const char *said;
    } cases[] = {
        {"newer nm", "nm", zvripc::kVersion + 1, "newer than this library's"},
        {"newer cm", "cm", zvripc::kVersion + 1, "newer than this library's"},
        {"never released", "nm", 1, "cannot migrate"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        install_layout_2();
        set_version(c.kind, c.version);
        const std::vector<char> nm = slurp(seg("nm")), cm = slurp(seg("cm"));
        int from = 0;
        EXPECT_EQ(ipc_migrate(name_.c_str(), &from), ZVRIPC_EBADSEG);
        EXPECT_NE(std::string(ipc_last_error()).find(c.said), std::string::npos) << ipc_last_error();
        EXPECT_EQ(slurp(seg("nm")), nm);
        EXPECT_EQ(slurp(seg("cm")), cm);
        ipc_destroy(name_.c_str());
    }
}

// One segment migrated and the other not (a crash between the two), with the leftover of
// a replacement cut short: the next migration finishes, and a handle on the old
// segments is told they were replaced.
TEST_F(MigrateTest, HalfDoneMigrationIsFinishedAndOldReadersAreTold) {
    install_layout_2();
    zvripc_handle *old = nullptr;
    ASSERT_EQ(ipc_open_readonly(name_.c_str(), &old), ZVRIPC_OK);
    EXPECT_EQ(ipc_handle_layout(old), 2);
    zvripc_handle *rw = nullptr;
    EXPECT_EQ(ipc_open(name_.c_str(), &rw), ZVRIPC_EBADSEG);
    EXPECT_NE(std::string(ipc_last_error()).find("older tavik"), std::string::npos) << ipc_last_error();

    put("/dev/shm/" + name_ + ".nm.new", {'x'});
    std::vector<char> cm = slurp(seg("cm"));
    int from = 0;
    ASSERT_EQ(ipc_migrate(name_.c_str(), &from), ZVRIPC_OK);
    put(seg("cm"), cm);  // as if only the node-manager segment had been replaced
    ASSERT_EQ(ipc_migrate(name_.c_str(), &from), ZVRIPC_OK);
    EXPECT_EQ(from, 2);
    ASSERT_EQ(ipc_migrate(name_.c_str(), &from), ZVRIPC_OK);
    EXPECT_EQ(from, ipc_layout_version());
    EXPECT_FALSE(fs::exists("/dev/shm/" + name_ + ".nm.new"));

    EXPECT_EQ(ipc_check(old), ZVRIPC_ESTALE);
    ipc_close(old);
    ASSERT_EQ(ipc_open(name_.c_str(), &rw), ZVRIPC_OK);
    EXPECT_EQ(ipc_handle_layout(rw), ipc_layout_version());
    ipc_close(rw);
}

TEST_F(MigrateTest, ReconfigureKeepsByNameAndStartsWhatIsNew) {
    ASSERT_EQ(
        ipc_create(name_.c_str(), ipctest::three_nodes().data(), 3, ipctest::resources().data(), 3, nullptr),
        ZVRIPC_OK);
    zvripc_handle *h = nullptr;
    ASSERT_EQ(ipc_open(name_.c_str(), &h), ZVRIPC_OK);
    ASSERT_EQ(ipc_set_state(h, "tavik", "hb2", 3, RSCSV_ONLINE), ZVRIPC_OK);
    ASSERT_EQ(ipc_set_state(h, "tavik", "hb2", 3, RSCSV_OFFLINE), ZVRIPC_OK);
    ASSERT_EQ(ipc_set_state(h, "tavik", "hb2", 1, RSCSV_ONLINE), ZVRIPC_OK);
    ASSERT_EQ(ipc_set_status(h, "tavik", "hb2", RSC_CAUTION), ZVRIPC_OK);
    ASSERT_EQ(ipc_set_waitstat(h, 1), ZVRIPC_OK);

    // node2 and hb1 leave, node4 (with node3's old id) and hb3 come; node3 moves first.
    const std::vector<zvripc_node_def> nodes = {{"node3", 4}, {"node1", 1}, {"node4", 3}};
    const std::vector<zvripc_rsc_def> rscs = {{"tavik", "hb3", 3}, {"tavik", "hb2", 2}, {"other", "disk", 7}};
    zvripc_carried carried{};
    ASSERT_EQ(ipc_reconfigure(name_.c_str(), nodes.data(), 3, rscs.data(), 3, &carried), ZVRIPC_OK);
    EXPECT_EQ(carried.nodes_kept, 2);
    EXPECT_EQ(carried.nodes_new, 1);
    EXPECT_EQ(carried.nodes_dropped, 1);
    EXPECT_EQ(carried.rscs_kept, 2);
    EXPECT_EQ(carried.rscs_dropped, 1);
    EXPECT_EQ(ipc_check(h), ZVRIPC_ESTALE);
    ipc_close(h);

    ASSERT_EQ(ipc_open(name_.c_str(), &h), ZVRIPC_OK);
    zvripc_snapshot *s = nullptr;
    ASSERT_EQ(ipc_snapshot(h, &s), ZVRIPC_OK);
    // hb2 is row 1; node3, node1, node4 are columns 0, 1, 2.
    EXPECT_EQ(s->states[3 + 0], RSCSV_OFFLINE);
    EXPECT_EQ(s->state_history[3 + 0].changes, 2U);
    EXPECT_EQ(s->states[3 + 1], RSCSV_ONLINE);
    EXPECT_EQ(s->states[3 + 2], RSCSV_UNKNOWN);
    EXPECT_EQ(s->state_history[3 + 2].changes, 0U);
    EXPECT_EQ(s->states[0], RSCSV_UNKNOWN);
    EXPECT_EQ(s->resources[1].status, RSC_CAUTION);
    EXPECT_EQ(s->status_history[1].changes, 1U);
    EXPECT_EQ(s->resources[0].status, RSC_UNKNOWN);
    EXPECT_EQ(s->waitstat, 1);
    ipc_snapshot_free(s);
    ipc_close(h);
    // A definition ipc_create would refuse is refused, and the namespace stays.
    const std::vector<zvripc_node_def> twice = {{"node1", 1}, {"node1", 2}};
    EXPECT_EQ(ipc_reconfigure(name_.c_str(), twice.data(), 2, rscs.data(), 3, nullptr), ZVRIPC_EARG);
}

}  // namespace
