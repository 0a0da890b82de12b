// Starting, connecting to and ending a real scan-manager child (the
// simulator), including its start-up faults.
#include "backend/build_paths.h"
#include "ipc/ipc.h"
#include "tests/support/process_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <string>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Link targets ("socket:[123]", "pipe:[456]", a path) of a process's descriptors.
std::map<int, std::string> descriptor_targets(const std::string& fd_dir) {
    std::map<int, std::string> targets;
    DIR* dir = opendir(fd_dir.c_str());
    if (dir == nullptr) return targets;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char target[512];
        ssize_t n = readlink((fd_dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n < 0) continue;
        targets[atoi(entry->d_name)] = std::string(target, static_cast<size_t>(n));
    }
    closedir(dir);
    return targets;
}

bool is_child(int pid) {
    auto children = kelvra_test::child_processes();
    return std::find(children.begin(), children.end(), pid) != children.end();
}

class IpcConnection : public ::testing::Test {
protected:
    void SetUp() override { unsetenv("KELVRA_SIM_SCENARIO"); }
    void TearDown() override {
        unsetenv("KELVRA_SIM_SCENARIO");
        if (!scenario_path_.empty()) unlink(scenario_path_.c_str());
    }

    // Makes the next simulator start with this scenario.
    void use_scenario(const std::string& body) {
        char path[] = "/tmp/kelvra-ipc-scenario-XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        close(fd);
        scenario_path_ = path;
        std::ofstream(scenario_path_) << "<scenario>" << body << "</scenario>\n";
        setenv("KELVRA_SIM_SCENARIO", scenario_path_.c_str(), 1);
    }

    // Closes the record and checks that the child is gone and was reaped.
    void close_and_expect_reaped(ipc_t* ipc) {
        const int pid = ipc->pid;
        EXPECT_EQ(ipc_close(ipc), SANE_STATUS_GOOD);
        if (pid > 0) {
            EXPECT_FALSE(is_child(pid)) << "ipc_close returned before the child " << pid << " was reaped";
        }
        EXPECT_EQ(kelvra_test::count_zombie_children(), 0);
    }

    std::string scenario_path_;
};

TEST_F(IpcConnection, OpensConnectsAndClosesWithoutLeaks) {
    const auto before = kelvra_test::ProcessSnapshot::take();
    ipc_t* ipc = nullptr;
    ASSERT_EQ(ipc_open(&ipc), SANE_STATUS_GOOD);
    ASSERT_NE(ipc, nullptr);
    EXPECT_GT(ipc->pid, 0);
    EXPECT_TRUE(is_child(ipc->pid));
    EXPECT_GT(ipc->port, 0);
    EXPECT_LT(ipc->port, 65536);
    EXPECT_GE(ipc->socket, 0);
    // The connection really reaches the scan-manager.
    EXPECT_EQ(send_close_device(ipc), SANE_STATUS_GOOD);
    EXPECT_EQ(receive_close_ack(ipc), SANE_STATUS_GOOD);

    const auto start = Clock::now();
    close_and_expect_reaped(ipc);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kelvra::kChildGraceMilliseconds))
        << "a scan-manager that ends by itself is not waited for the whole grace period";
    EXPECT_TRUE(kelvra_test::returns_to(before, 0))
        << "before: " << before.describe() << ", after: " << kelvra_test::ProcessSnapshot::take().describe();
}

TEST_F(IpcConnection, NullArgumentsAreInvalidAndStartNothing) {
    const auto before = kelvra_test::ProcessSnapshot::take();
    EXPECT_EQ(ipc_open(nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(ipc_close(nullptr), SANE_STATUS_INVAL);
    EXPECT_TRUE(kelvra_test::returns_to(before, 0)) << kelvra_test::ProcessSnapshot::take().describe();
}

TEST_F(IpcConnection, ChildInheritsNoDescriptorOfOtherConnections) {
    // Descriptors this process was started with and that are not close-on-exec
    // reach every child by the frontend's own choice; nothing else may.
    std::set<std::string> inherited_by_choice;
    for (const auto& [fd, target] : descriptor_targets("/proc/self/fd"))
        if (fd > 2 && fcntl(fd, F_GETFD) == 0) inherited_by_choice.insert(target);

    ipc_t* first = nullptr;
    ASSERT_EQ(ipc_open(&first), SANE_STATUS_GOOD);
    ipc_t* second = nullptr;
    ASSERT_EQ(ipc_open(&second), SANE_STATUS_GOOD);

    const auto ours = descriptor_targets("/proc/self/fd");
    std::set<std::string> held;
    for (const auto& [fd, target] : ours)
        if (fd > 2 && !inherited_by_choice.count(target)) held.insert(target);
    const std::string first_socket = ours.at(first->socket);
    ASSERT_TRUE(held.count(first_socket));

    const auto theirs = descriptor_targets("/proc/" + std::to_string(second->pid) + "/fd");
    ASSERT_FALSE(theirs.empty()) << "cannot list the descriptors of the live scan-manager";
    for (const auto& [fd, target] : theirs) {
        if (fd <= 2 || inherited_by_choice.count(target)) continue;
        // Its own connection and listener, and the handshake pipe it was given.
        const bool own_kind = target.rfind("socket:", 0) == 0 || target.rfind("pipe:", 0) == 0;
        EXPECT_TRUE(own_kind) << "descriptor " << fd << " of the child is " << target;
        EXPECT_FALSE(held.count(target)) << "descriptor " << fd << " of the child is ours: " << target;
    }
    for (const auto& [fd, target] : theirs)
        EXPECT_NE(target, first_socket) << "the first connection's socket reached the second child as " << fd;
    close_and_expect_reaped(second);
    close_and_expect_reaped(first);
}

TEST_F(IpcConnection, NegativePortFailsWithoutASocket) {
    use_scenario("<startup port=\"-1\"/>");
    const auto before = kelvra_test::ProcessSnapshot::take();
    ipc_t* ipc = nullptr;
    EXPECT_EQ(ipc_open(&ipc), SANE_STATUS_IO_ERROR);
    ASSERT_NE(ipc, nullptr) << "the record is handed back on failure";
    EXPECT_GT(ipc->pid, 0);
    EXPECT_EQ(ipc->port, -1);
    EXPECT_EQ(ipc->socket, -1);
    close_and_expect_reaped(ipc);
    EXPECT_TRUE(kelvra_test::returns_to(before, 0)) << kelvra_test::ProcessSnapshot::take().describe();
}

TEST_F(IpcConnection, ChildEndingWithoutAPortFailsAtOnce) {
    use_scenario("<startup action=\"exit\"/>");
    const auto before = kelvra_test::ProcessSnapshot::take();
    ipc_t* ipc = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(ipc_open(&ipc), SANE_STATUS_IO_ERROR);
    EXPECT_LT(Clock::now() - start, 1s);
    ASSERT_NE(ipc, nullptr);
    EXPECT_GT(ipc->pid, 0);
    EXPECT_EQ(ipc->port, -1);
    EXPECT_EQ(ipc->socket, -1);
    const auto closing = Clock::now();
    close_and_expect_reaped(ipc);
    EXPECT_LT(Clock::now() - closing, std::chrono::milliseconds(kelvra::kChildGraceMilliseconds));
    EXPECT_TRUE(kelvra_test::returns_to(before, 0)) << kelvra_test::ProcessSnapshot::take().describe();
}

TEST_F(IpcConnection, HangingChildIsGivenUpAndKilled) {
    use_scenario("<startup action=\"hang\"/>");
    const auto before = kelvra_test::ProcessSnapshot::take();
    ipc_t* ipc = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(ipc_open(&ipc), SANE_STATUS_IO_ERROR);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::seconds(kelvra::kSocketTimeoutSeconds) - 100ms);
    EXPECT_LT(waited, std::chrono::seconds(kelvra::kSocketTimeoutSeconds) + 1s);
    ASSERT_NE(ipc, nullptr);
    EXPECT_GT(ipc->pid, 0);
    EXPECT_EQ(ipc->port, -1);
    EXPECT_EQ(ipc->socket, -1);

    const auto closing = Clock::now();
    close_and_expect_reaped(ipc);
    const auto grace = std::chrono::milliseconds(kelvra::kChildGraceMilliseconds);
    EXPECT_GE(Clock::now() - closing, grace - 50ms);
    EXPECT_LT(Clock::now() - closing, grace + 1s);
    EXPECT_TRUE(kelvra_test::returns_to(before, 0)) << kelvra_test::ProcessSnapshot::take().describe();
}

TEST_F(IpcConnection, PortWithoutListenerFailsWithTheSocketKept) {
    use_scenario("<startup action=\"unbound\"/>");
    const auto before = kelvra_test::ProcessSnapshot::take();
    ipc_t* ipc = nullptr;
    EXPECT_EQ(ipc_open(&ipc), SANE_STATUS_IO_ERROR);
    ASSERT_NE(ipc, nullptr);
    EXPECT_GT(ipc->pid, 0);
    EXPECT_GT(ipc->port, 0);
    EXPECT_GE(ipc->socket, 0) << "the socket stays in the record for ipc_close";
    close_and_expect_reaped(ipc);
    EXPECT_TRUE(kelvra_test::returns_to(before, 0)) << kelvra_test::ProcessSnapshot::take().describe();
}

TEST_F(IpcConnection, PortWiderThan16BitsConnectsToItsLow16Bits) {
    use_scenario("<startup port_add=\"65536\"/>");
    ipc_t* ipc = nullptr;
    ASSERT_EQ(ipc_open(&ipc), SANE_STATUS_GOOD);
    EXPECT_GE(ipc->port, 65536);
    EXPECT_EQ(send_close_device(ipc), SANE_STATUS_GOOD);
    EXPECT_EQ(receive_close_ack(ipc), SANE_STATUS_GOOD);
    close_and_expect_reaped(ipc);
}

TEST_F(IpcConnection, FrontendIgnoringChildSignalsDoesNotHangClose) {
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &previous);

    ipc_t* ipc = nullptr;
    const SANE_Status opened = ipc_open(&ipc);
    EXPECT_EQ(opened, SANE_STATUS_GOOD);
    ASSERT_NE(ipc, nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(ipc_close(ipc), SANE_STATUS_GOOD);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kelvra::kChildGraceMilliseconds));

    sigaction(SIGCHLD, &previous, nullptr);
}

}  // namespace
