// The backend as a guest in a frontend's process: unloaded after exit at any
// moment of a scan; the frontend's own signal handlers and periodic signals
// left alone, and every wait still ending in time; a cancel from a signal
// handler; a silent scan-manager costing one time limit and leaving no child.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "ipc/ipc.h"
#include "options/options.h"
#include "platform/build_paths.h"
#include "tests/support/frontend.h"
#include "tests/support/process_state.h"

// Every join made by this program's code, the backend's objects included:
// counted, and a fault when it fails or runs inside another join (in a
// signal handler that interrupted one).
namespace {
std::atomic<int> g_joins{0}, g_join_faults{0};
thread_local int t_joining = 0;

template <typename Function>
Function next_definition(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

template <typename Join>
int counted_join(Join&& join) {
    if (t_joining++ > 0) g_join_faults.fetch_add(1);
    const int result = join();
    --t_joining;
    if (result == 0) g_joins.fetch_add(1);
    if (result != 0 && result != EBUSY && result != ETIMEDOUT) g_join_faults.fetch_add(1);
    return result;
}
}  // namespace

extern "C" int pthread_join(pthread_t thread, void** result) {
    static const auto next = next_definition<int (*)(pthread_t, void**)>("pthread_join");
    return counted_join([&] { return next(thread, result); });
}
extern "C" int pthread_tryjoin_np(pthread_t thread, void** result) noexcept {
    static const auto next = next_definition<int (*)(pthread_t, void**)>("pthread_tryjoin_np");
    return counted_join([&] { return next(thread, result); });
}
extern "C" int pthread_timedjoin_np(pthread_t thread, void** result, const timespec* until) {
    static const auto next = next_definition<int (*)(pthread_t, void**, const timespec*)>("pthread_timedjoin_np");
    return counted_join([&] { return next(thread, result, until); });
}

namespace {

using namespace kelvra_test;
using S = SANE_Status;
constexpr S GOOD = SANE_STATUS_GOOD, EOF_ = SANE_STATUS_EOF, IO = SANE_STATUS_IO_ERROR;
constexpr S CANCELLED = SANE_STATUS_CANCELLED;
const double kLimit = kelvra::kSocketTimeoutSeconds * 1000.0;  // ms
const double kGrace = kelvra::kChildGraceMilliseconds;         // ms

// The entry points a frontend calls: those linked into this program, or
// those of the testing flavour loaded the way the dll meta-backend loads it.
struct Backend {
    decltype(&sane_kelvra_init) init = sane_kelvra_init;
    decltype(&sane_kelvra_exit) exit = sane_kelvra_exit;
    decltype(&sane_kelvra_open) open = sane_kelvra_open;
    decltype(&sane_kelvra_close) close = sane_kelvra_close;
    decltype(&sane_kelvra_control_option) control_option = sane_kelvra_control_option;
    decltype(&sane_kelvra_get_parameters) get_parameters = sane_kelvra_get_parameters;
    decltype(&sane_kelvra_start) start = sane_kelvra_start;
    decltype(&sane_kelvra_read) read = sane_kelvra_read;
    decltype(&sane_kelvra_cancel) cancel = sane_kelvra_cancel;

    // Opens a device (enumerating first), its scan area `millimetres` square (0: the whole flatbed).
    SANE_Handle open_device(const char* name, double millimetres = 0) const {
        SANE_Handle handle = nullptr;
        EXPECT_EQ(open(name, &handle), GOOD) << name;
        for (int option : {OPT_BR_X, OPT_BR_Y}) {
            SANE_Word value = SANE_FIX(millimetres);
            EXPECT_TRUE(millimetres == 0 ||
                        control_option(handle, option, SANE_ACTION_SET_VALUE, &value, nullptr) == GOOD);
        }
        return handle;
    }
    S read_once(SANE_Handle handle) const {
        SANE_Byte buffer[4096];
        SANE_Int length = -1;
        const S status = read(handle, buffer, sizeof buffer, &length);
        EXPECT_TRUE(status == GOOD ? length >= 0 : length == 0) << length;
        return status;
    }
    PageRead read_page(SANE_Handle handle) const {
        PageRead page;
        SANE_Byte buffer[32768];
        for (SANE_Int length = 0;; length = 0) {
            page.final_status = read(handle, buffer, sizeof buffer, &length);
            if (page.final_status != GOOD) return page;
            page.bytes.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
        }
    }
    // Parameters, start, the whole page: it must arrive byte for byte.
    void scan_page(SANE_Handle handle, uint32_t number) const {
        SANE_Parameters params{};
        ASSERT_EQ(get_parameters(handle, &params), GOOD);
        ASSERT_EQ(start(handle), GOOD);
        const PageRead page = read_page(handle);
        EXPECT_EQ(page.final_status, EOF_);
        EXPECT_TRUE(page.bytes == expected_page(handle, params, number)) << page.bytes.size() << " bytes of the page";
    }
};

class LoadedBackend : public Backend {
public:
    LoadedBackend() {
        const auto path = std::filesystem::path(KELVRA_TEST_CONFIG).parent_path() / "libsane-kelvra.so.1";
        library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(library_, nullptr) << dlerror();
        resolve(init, "sane_kelvra_init");
        resolve(exit, "sane_kelvra_exit");
        resolve(open, "sane_kelvra_open");
        resolve(close, "sane_kelvra_close");
        resolve(control_option, "sane_kelvra_control_option");
        resolve(get_parameters, "sane_kelvra_get_parameters");
        resolve(start, "sane_kelvra_start");
        resolve(read, "sane_kelvra_read");
        resolve(cancel, "sane_kelvra_cancel");
        SANE_Int version = 0;
        EXPECT_EQ(init(&version, nullptr), GOOD);
    }
    ~LoadedBackend() { unload(); }
    void unload() {
        if (library_ != nullptr) dlclose(library_);
        library_ = nullptr;
    }

private:
    template <typename Function>
    void resolve(Function& function, const char* name) {
        if (library_ != nullptr) function = reinterpret_cast<Function>(dlsym(library_, name));
    }
    void* library_ = nullptr;
};

std::string paced(int piece_size, int delay_ms) {
    return "piece_size=\"" + std::to_string(piece_size) + "\" piece_delay_ms=\"" + std::to_string(delay_ms) + "\"";
}

// sane_exit closes every handle, whatever it is doing, so that the library
// can be unloaded at once: a thread left running would run unmapped code.
// Loaded again, it works as the first time, and nothing is left behind.
TEST(LifeCycle, ExitClosesEveryHandleSoTheLibraryCanBeUnloadedMidPage) {
    const ProcessSnapshot before = ProcessSnapshot::take();
    {
        Scenario scenario("", paced(4096, 50));
        LoadedBackend backend;
        const SANE_Handle idle = backend.open_device("fb-a4");
        const SANE_Handle busy = backend.open_device("mfp-adf");
        ASSERT_TRUE(idle != nullptr && busy != nullptr);
        ASSERT_EQ(backend.start(busy), GOOD);
        ASSERT_EQ(backend.read_once(busy), GOOD);  // its thread now waits for the next piece
        EXPECT_LT(milliseconds_of([&] { backend.exit(); }), 1000);
        backend.unload();
        usleep(300000);  // long enough for a thread left behind to wake up in unmapped code
        EXPECT_TRUE(returns_to(before)) << "after exit: " << ProcessSnapshot::take().describe();
        EXPECT_EQ(scenario.frames(IPC_CMD_CLOSE_DEVICE).size(), 2u) << "each handle's close exchange";
    }
    {
        Scenario scenario;
        LoadedBackend backend;
        const SANE_Handle handle = backend.open_device("fb-a4", 20);
        backend.scan_page(handle, 1);
        backend.close(handle);
        backend.exit();
    }
    EXPECT_TRUE(returns_to(before)) << "after the second life: " << ProcessSnapshot::take().describe();
}

// ------------------------------------------------ the frontend's signals

std::atomic<int> g_frontend_usr1{0}, g_ticks{0}, g_tick_limit{0};

void frontend_usr1(int, siginfo_t*, void*) { g_frontend_usr1.fetch_add(1); }
// The timer stops itself after a while: one left running would hide a wait that never ends.
void tick(int) {
    if (g_ticks.fetch_add(1) + 1 < g_tick_limit) return;
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
}

struct sigaction action_of(int signal_number) {
    struct sigaction current {};
    sigaction(signal_number, nullptr, &current);
    return current;
}
// The same handler; for a function, with the same flags and mask too (SIG_DFL and SIG_IGN use neither).
bool same_action(const struct sigaction& a, const struct sigaction& b) {
    constexpr int kRestorer = 0x04000000;  // SA_RESTORER, which the C library adds by itself
    if (a.sa_handler != b.sa_handler) return false;
    return a.sa_handler == SIG_DFL || a.sa_handler == SIG_IGN ||
           ((a.sa_flags & ~kRestorer) == (b.sa_flags & ~kRestorer) &&
            sigismember(&a.sa_mask, SIGTERM) == sigismember(&b.sa_mask, SIGTERM));
}
// The frontend's own SIGUSR1 handler: with SA_SIGINFO and SIGTERM in its mask, so restored means restored exactly.
struct sigaction frontends_usr1() {
    struct sigaction own {};
    own.sa_sigaction = frontend_usr1;
    own.sa_flags = SA_SIGINFO;
    sigemptyset(&own.sa_mask);
    sigaddset(&own.sa_mask, SIGTERM);
    return own;
}

// Stops the timer and puts SIGUSR1's and SIGALRM's actions back when it goes, whatever failed.
struct SignalsRestored {
    const struct sigaction usr1 = action_of(SIGUSR1), alarm = action_of(SIGALRM);
    ~SignalsRestored() {
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGUSR1, &usr1, nullptr);
        sigaction(SIGALRM, &alarm, nullptr);
    }
};

enum class Usr1 { untouched, own_before_init, own_after_start, default_after_start };
enum class Alarm { none, restarting, interrupting };

// Whatever the frontend does with SIGUSR1, the cancel never reaches its
// handler nor ends the process, and unloading the library leaves the
// frontend's action as the frontend last set it. A periodic SIGALRM, restarted or
// not, neither stretches a silent scan-manager's limit nor loses page bytes.
TEST(FrontendSignals, HandlersKeptCancelNeverReachesThemEveryWaitEnds) {
    const struct {
        const char* what;
        Usr1 usr1;
        Alarm alarm;
        bool silent;  // the scan-manager never answers the parameters
    } cases[] = {
        {"own SIGUSR1 handler before init", Usr1::own_before_init, Alarm::none, false},
        {"own SIGUSR1 handler after start", Usr1::own_after_start, Alarm::none, false},
        {"SIGUSR1 back to its default after start", Usr1::default_after_start, Alarm::none, false},
        {"periodic SIGALRM with SA_RESTART, silent", Usr1::untouched, Alarm::restarting, true},
        {"periodic SIGALRM without SA_RESTART, silent", Usr1::untouched, Alarm::interrupting, true},
        {"periodic SIGALRM with SA_RESTART, a page", Usr1::untouched, Alarm::restarting, false},
        {"periodic SIGALRM without SA_RESTART, a page", Usr1::untouched, Alarm::interrupting, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SignalsRestored restored;
        g_frontend_usr1 = 0;
        g_ticks = 0;
        struct sigaction expected_usr1 = restored.usr1;
        if (c.usr1 == Usr1::own_before_init) {
            expected_usr1 = frontends_usr1();
            sigaction(SIGUSR1, &expected_usr1, nullptr);
        }
        struct sigaction ticking {};
        ticking.sa_handler = tick;
        ticking.sa_flags = c.alarm == Alarm::restarting ? SA_RESTART : 0;
        if (c.alarm != Alarm::none) {
            sigaction(SIGALRM, &ticking, nullptr);
            // Against a silent scan-manager the first tick comes late, so that a
            // limit counted from the first interruption shows as well.
            const int interval_us = c.silent ? 100000 : 5000;
            g_tick_limit = c.silent ? 60 : 600;
            const itimerval every{{0, interval_us}, c.silent ? timeval{1, 500000} : timeval{0, interval_us}};
            setitimer(ITIMER_REAL, &every, nullptr);
        }
        {
            Scenario scenario(c.silent ? "<reply command=\"3\" action=\"silence\"/>" : "",
                              c.alarm == Alarm::none ? paced(4096, 100) : paced(4096, 20));
            LoadedBackend backend;
            const SANE_Handle handle = backend.open_device("fb-a4", 30);
            if (handle == nullptr) continue;
            if (c.silent) {
                SANE_Parameters params{};
                const double waited = milliseconds_of([&] { EXPECT_EQ(backend.get_parameters(handle, &params), IO); });
                EXPECT_TRUE(waited > 0.9 * kLimit && waited < kLimit + 1000) << waited << " ms";
            } else if (c.alarm != Alarm::none) {
                backend.scan_page(handle, 1);
            } else {
                EXPECT_EQ(backend.start(handle), GOOD);
                EXPECT_EQ(backend.read_once(handle), GOOD);
                if (c.usr1 == Usr1::own_after_start) {
                    expected_usr1 = frontends_usr1();
                    sigaction(SIGUSR1, &expected_usr1, nullptr);
                } else if (c.usr1 == Usr1::default_after_start) {
                    expected_usr1 = {};
                    expected_usr1.sa_handler = SIG_DFL;
                    sigaction(SIGUSR1, &expected_usr1, nullptr);
                }
                EXPECT_LT(milliseconds_of([&] { backend.cancel(handle); }), 1000);
                EXPECT_EQ(backend.read_once(handle), CANCELLED);
            }
            const double released = milliseconds_of([&] {
                backend.close(handle);
                backend.exit();
            });
            EXPECT_LT(released, kGrace + 1000) << "ms to close and exit";
            backend.unload();
        }
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        EXPECT_EQ(g_frontend_usr1, 0) << "the frontend's SIGUSR1 handler ran";
        EXPECT_TRUE(same_action(action_of(SIGUSR1), expected_usr1)) << "SIGUSR1 is not as the frontend left it";
        EXPECT_TRUE(c.alarm == Alarm::none || same_action(action_of(SIGALRM), ticking)) << "SIGALRM changed";
        EXPECT_TRUE(c.alarm == Alarm::none || c.silent || g_ticks > 5) << g_ticks << " ticks during the page";
    }
}

// ------------------------------------------- cancel from a signal handler

SANE_Handle g_cancel_target = nullptr;  // null: a cancel of nothing
void cancel_from_handler(int) { sane_kelvra_cancel(g_cancel_target); }

// The SANE standard lets a frontend call sane_cancel from a signal handler.
// Wherever that handler interrupts the backend, each reader thread is joined
// exactly once, never inside another join; the interrupted call ends
// promptly, and the next scan works.
TEST(CancelFromASignalHandler, EachThreadIsJoinedOnceAndTheNextScanWorks) {
    enum class During { start, read, parameters };
    const struct {
        const char* what;
        During during;
        bool restart;
        S interrupted;  // what the interrupted call returns
        int threads;    // the reader threads the case starts
    } cases[] = {
        {"start waiting for the last page's thread", During::start, true, CANCELLED, 2},
        {"start, without SA_RESTART", During::start, false, CANCELLED, 2},
        {"read waiting for bytes", During::read, true, CANCELLED, 2},
        {"read, without SA_RESTART", During::read, false, CANCELLED, 2},
        {"parameters waiting for the reply", During::parameters, true, GOOD, 1},
        {"parameters, without SA_RESTART", During::parameters, false, GOOD, 1},
    };
    const Backend backend;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SignalsRestored restored;
        const ProcessSnapshot before = ProcessSnapshot::take();
        const int joins = g_joins, faults = g_join_faults;
        Scenario scenario(c.during == During::parameters ? "<reply command=\"3\" nth=\"2\" delay_ms=\"600\"/>" : "",
                          paced(4096, 400));
        g_cancel_target = backend.open_device("fb-a4");
        struct sigaction cancelling {};
        cancelling.sa_handler = cancel_from_handler;
        cancelling.sa_flags = c.restart ? SA_RESTART : 0;
        sigaction(SIGALRM, &cancelling, nullptr);
        SANE_Parameters params{};
        ASSERT_EQ(backend.get_parameters(g_cancel_target, &params), GOOD);
        if (c.during != During::parameters) {
            ASSERT_EQ(backend.start(g_cancel_target), GOOD);
            ASSERT_EQ(backend.read_once(g_cancel_target), GOOD);
        }
        const itimerval once{{0, 0}, {0, 150000}};
        setitimer(ITIMER_REAL, &once, nullptr);
        S interrupted = GOOD;
        const double ms = milliseconds_of([&] {
            switch (c.during) {
                case During::start: interrupted = backend.start(g_cancel_target); break;
                case During::read: interrupted = backend.read_once(g_cancel_target); break;
                case During::parameters: interrupted = backend.get_parameters(g_cancel_target, &params); break;
            }
        });
        EXPECT_EQ(interrupted, c.interrupted);
        EXPECT_LT(ms, 1500) << "ms for the interrupted call";
        EXPECT_EQ(backend.read_once(g_cancel_target), CANCELLED);
        for (int option : {OPT_BR_X, OPT_BR_Y}) {
            SANE_Word value = SANE_FIX(10.0);
            backend.control_option(g_cancel_target, option, SANE_ACTION_SET_VALUE, &value, nullptr);
        }
        backend.scan_page(g_cancel_target, c.threads);  // the simulator's page number
        backend.close(g_cancel_target);
        g_cancel_target = nullptr;
        EXPECT_EQ(g_joins - joins, c.threads) << "joins";
        EXPECT_EQ(g_join_faults - faults, 0) << "joins that failed or ran inside another join";
        EXPECT_TRUE(returns_to(before)) << ProcessSnapshot::take().describe();
    }
    sane_kelvra_exit();
}

// --------------------------------------------- a silent scan-manager

// Once a wait on the connection has expired the scan-manager is taken for
// gone: the user waits one limit for the error, the exchanges after it fail
// at once, and exit releases the handle (whose close exchange failed)
// within the kill grace, leaving no child process, alive or zombie.
TEST(SilentScanManager, CostsOneLimitAndLeavesNoChild) {
    enum class Where { page, parameters, end_of_job, close };
    const struct {
        const char* what;
        Where where;
        std::string elements;
    } cases[] = {
        {"mid-page", Where::page, "<page number=\"1\" at_byte=\"1000\" action=\"silence\"/>"},
        {"mid-exchange", Where::parameters, "<reply command=\"3\" nth=\"1\" action=\"silence\"/>"},
        {"at the end of the job", Where::end_of_job, "<reply command=\"5\" nth=\"1\" action=\"silence\"/>"},
        {"at close", Where::close, "<reply command=\"2\" nth=\"1\" action=\"silence\"/>"},
    };
    const Backend backend;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ProcessSnapshot before = ProcessSnapshot::take();
        Scenario scenario(c.elements, paced(1024, 0));
        const SANE_Handle handle = backend.open_device("fb-a4", 20);
        SANE_Parameters params{};
        double waited = 0;  // for the error, or for the close that meets it
        if (c.where == Where::parameters) {
            waited = milliseconds_of([&] { EXPECT_EQ(backend.get_parameters(handle, &params), IO); });
        } else if (c.where != Where::close) {
            ASSERT_EQ(backend.get_parameters(handle, &params), GOOD);
            ASSERT_EQ(backend.start(handle), GOOD);
            const double ms = milliseconds_of([&] {
                EXPECT_EQ(backend.read_page(handle).final_status, c.where == Where::page ? IO : EOF_);
            });
            if (c.where == Where::page) waited = ms;
        }
        const double closed = milliseconds_of([&] { backend.close(handle); });
        if (c.where == Where::end_of_job || c.where == Where::close) waited = closed;
        EXPECT_TRUE(waited > 0.8 * kLimit && waited < kLimit + 1000) << waited << " ms to the error";
        EXPECT_TRUE(c.where == Where::end_of_job || c.where == Where::close || closed < 1000) << closed << " ms";
        EXPECT_LT(milliseconds_of([&] { backend.exit(); }), kGrace + 1000) << "ms to release at exit";
        EXPECT_TRUE(returns_to(before, 0)) << ProcessSnapshot::take().describe();
        EXPECT_TRUE(g_open_devices.empty());
    }
}

}  // namespace
