// Tests of the host services: the temporary-file registry and every way out that must empty it
// (host_exit, the fatal exit, interrupt and crash signals), the crash report, the exception
// names, the include environment search, the temporary directory, the help file lookup and the
// reproducible date.
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fe/host.h"
#include "toolkit_fixture.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ExitedWithCode;
using ::testing::KilledBySignal;

// A fresh folder, removed with its contents at the end of the test.
class ScratchDir {
  public:
    ScratchDir() {
        char pattern[] = "/tmp/tfpp-host-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~ScratchDir() { fs::remove_all(path_); }
    const std::string &path() const { return path_; }
    std::string slash() const { return path_ + "/"; }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(path_))
            names.push_back(entry.path().filename().string());
        return names;
    }

  private:
    std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable for the test's duration.
class EnvGuard {
  public:
    EnvGuard(const char *name, std::optional<std::string> value) : name_(name) {
        if (const char *old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~EnvGuard() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char *name_;
    std::optional<std::string> old_;
};

void touch(const std::string &path) { std::ofstream(path) << "x\n"; }

std::vector<std::string> stored_messages() {
    std::vector<std::string> texts;
    for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next) texts.emplace_back(m->text);
    return texts;
}

using HostTest = ToolkitTest;

// ---- Temporary files ------------------------------------------------------------------------

TEST(HostTempFiles, CreateDeleteAndRemoveAll) {
    ScratchDir dir;
    char first[HOST_NAME_SIZE];
    char second[HOST_NAME_SIZE];
    int fd1 = host_create_temp_file(dir.slash().c_str(), first);
    int fd2 = host_create_temp_file(dir.slash().c_str(), second);
    ASSERT_GE(fd1, 0);
    ASSERT_GE(fd2, 0);
    close(fd1);
    close(fd2);
    EXPECT_EQ(std::string(first).rfind(dir.slash() + "cp", 0), 0u);
    EXPECT_EQ(std::strlen(first), dir.slash().size() + 8);
    EXPECT_STRNE(first, second);
    EXPECT_EQ(dir.entries().size(), 2u);

    host_delete_temp_file(first);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{fs::path(second).filename().string()});
    host_remove_temp_files();
    EXPECT_TRUE(dir.entries().empty());
}

TEST(HostTempFiles, RefusesNamesThatDoNotFitAndAFullRegistry) {
    ScratchDir dir;
    char name[HOST_NAME_SIZE];
    // A directory name that leaves no room for "cpXXXXXX" is refused, not cut.
    std::string deep = dir.slash() + std::string(HOST_NAME_SIZE - dir.slash().size() - 8, 'd');
    EXPECT_EQ(host_create_temp_file(deep.c_str(), name), -1);
    EXPECT_STREQ(name, "");

    std::vector<int> fds;
    // The definitions file, the copy of standard input and the four named outputs.
    for (int i = 0; i < 8; ++i) fds.push_back(host_create_temp_file(dir.slash().c_str(), name));
    for (int fd : fds) EXPECT_GE(fd, 0);
    // Every registered file must be removable on the way out: no ninth file is made unregistered.
    EXPECT_EQ(host_create_temp_file(dir.slash().c_str(), name), -1);
    EXPECT_EQ(dir.entries().size(), 8u);
    for (int fd : fds) close(fd);
    host_remove_temp_files();
    EXPECT_TRUE(dir.entries().empty());
}

TEST(HostTempFiles, MissingDirectoryFails) {
    ScratchDir dir;
    char name[HOST_NAME_SIZE];
    std::string missing = dir.slash() + "missing/";
    EXPECT_EQ(host_create_temp_file(missing.c_str(), name), -1);
    EXPECT_EQ(std::string(name).rfind(missing + "cp", 0), 0u);
}

TEST(HostTempFiles, ScratchFilesHaveNoNameAndFollowTheTemporaryDirectory) {
    ScratchDir dir;
    ScratchDir system;
    EnvGuard tmpdir("TMPDIR", system.path());
    host_set_temp_dir(dir.slash().c_str());
    int fd = host_open_scratch_file();
    ASSERT_GE(fd, 0);
    // Gone from its directory at once, yet readable and writable through the descriptor.
    EXPECT_TRUE(dir.entries().empty());
    EXPECT_EQ(pwrite(fd, "abc", 3, 0), 3);
    char back[3] = {};
    EXPECT_EQ(pread(fd, back, 3, 0), 3);
    EXPECT_EQ(std::string(back, 3), "abc");
    close(fd);
    // Every registry slot is free again: four named files can still be made.
    char name[HOST_NAME_SIZE];
    for (int i = 0; i < 4; ++i) {
        int named = host_create_temp_file(dir.slash().c_str(), name);
        EXPECT_GE(named, 0);
        close(named);
    }
    host_remove_temp_files();
    // Without a directory of its own the system's is used; a missing one makes nothing.
    host_set_temp_dir(nullptr);
    fd = host_open_scratch_file();
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(system.entries().empty());
    host_set_temp_dir((dir.slash() + "missing/").c_str());
    EXPECT_EQ(host_open_scratch_file(), -1);
    host_set_temp_dir(nullptr);
}

TEST(HostExitDeathTest, HostExitRemovesTemporaryFiles) {
    ScratchDir dir;
    EXPECT_EXIT(
        {
            char name[HOST_NAME_SIZE];
            host_create_temp_file(dir.slash().c_str(), name);
            host_exit(3);
        },
        ExitedWithCode(3), "");
    EXPECT_TRUE(dir.entries().empty());
}

// The exit hooks print the stored messages, which may re-read the copy of standard input: the
// temporary files must still be there while they run, and gone afterwards.
std::string hook_probe;
void probe_hook(void *) {
    std::fprintf(stderr, "hook sees the file: %s\n",
                 access(hook_probe.c_str(), F_OK) == 0 ? "yes" : "no");
}

TEST_F(HostTest, FatalExitRemovesTemporaryFilesAfterTheExitHooks) {
    ScratchDir dir;
    EXPECT_EXIT(
        {
            char name[HOST_NAME_SIZE];
            host_create_temp_file(dir.slash().c_str(), name);
            hook_probe = name;
            fe_add_exit_hook(probe_hook, nullptr);
            fe_fatal_exit();
        },
        ExitedWithCode(1), "hook sees the file: yes\n");
    EXPECT_TRUE(dir.entries().empty());
}

// ---- Signals ----------------------------------------------------------------------------------

class InterruptDeathTest : public ::testing::TestWithParam<int> {};

TEST_P(InterruptDeathTest, RemovesTemporaryFilesAndDiesByTheSignal) {
    ScratchDir dir;
    int signal = GetParam();
    EXPECT_EXIT(
        {
            host_install_hooks();
            char name[HOST_NAME_SIZE];
            host_create_temp_file(dir.slash().c_str(), name);
            raise(signal);
            std::fputs("survived\n", stderr);
            std::exit(0);
        },
        KilledBySignal(signal), "^$");
    EXPECT_TRUE(dir.entries().empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptDeathTest,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ));

TEST(InterruptHook, AnIgnoredSignalStaysIgnored) {
    // As under nohup: the hook must not turn an ignored hang-up into the end of the run.
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN);
            host_install_hooks();
            raise(SIGHUP);
            std::exit(7);
        },
        ExitedWithCode(7), "");
}

// The crash report goes to standard output; the death tests read standard error.
void write_to_bad_address() {
    volatile std::uintptr_t address = 16;
    *reinterpret_cast<volatile int *>(address) = 1;
}

// The trap itself is under test, so the undefined-behaviour sanitizer must not catch it first.
[[gnu::no_sanitize("undefined")]] int divide(int a, int b) {
    // Both through volatile, so the compiler keeps a real division (and its trap).
    volatile int dividend = a;
    volatile int divisor = b;
    return dividend / divisor;
}

TEST(CrashHookDeathTest, AccessViolationIsReportedAndTemporaryFilesRemoved) {
    ScratchDir dir;
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            host_install_hooks();
            char name[HOST_NAME_SIZE];
            host_create_temp_file(dir.slash().c_str(), name);
            write_to_bad_address();
        },
        KilledBySignal(SIGSEGV),
        "^Program Exception:\n  Program: /.*tfpp_unit_tests\n  Command Line: .*tfpp_unit_tests.*\n"
        "  At Address: [0-9a-f]{8,}\n  Exception was: Access Violation  \\(0xc0000005\\)\n"
        "  Exception is non continueable\n  Exception param count: 1\n      0: 0*10\n$");
    EXPECT_TRUE(dir.entries().empty());
}

TEST(CrashHookDeathTest, IntegerDivisionByZeroIsNamed) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            host_install_hooks();
            std::exit(divide(7, 0));
        },
        KilledBySignal(SIGFPE),
        "  Exception was: Integer divide by zero  \\(0xc0000094\\)\n"
        "  Exception is non continueable\n  Exception param count: 0\n$");
}

int recurse_forever(int depth) {
    volatile char pad[4096];
    pad[0] = static_cast<char>(depth);
    // Never true at run time, but the compiler cannot know: the recursion stays.
    if (pad[0] == 1 && depth < 0) return 0;
    return recurse_forever(depth + 1) + pad[0];
}

TEST(CrashHookDeathTest, StackOverflowIsStillReported) {
    // The hook runs on its own stack, so even an exhausted stack gets its report.
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            host_install_hooks();
            std::exit(recurse_forever(0));
        },
        KilledBySignal(SIGSEGV), "Exception was: Access Violation");
}

struct ExceptionCase {
    int signal;
    int code;
    const char *name;
    std::uint32_t exception;
};

TEST(HostExceptionName, MapsSignalsAndCodesToTheExceptionTable) {
    const ExceptionCase cases[] = {
        {SIGSEGV, SEGV_MAPERR, "Access Violation", 0xC0000005u},
        {SIGSEGV, SEGV_ACCERR, "Access Violation", 0xC0000005u},
        {SIGSEGV, SI_USER, "Access Violation", 0xC0000005u},
        {SIGBUS, BUS_ADRALN, "Data Misalignment", 0x80000002u},
        {SIGBUS, BUS_ADRERR, "In Page Error", 0xC0000006u},
        {SIGFPE, FPE_INTDIV, "Integer divide by zero", 0xC0000094u},
        {SIGFPE, FPE_INTOVF, "Integer Overflow", 0xC0000095u},
        {SIGFPE, FPE_FLTDIV, "Float divide by zero", 0xC000008Eu},
        {SIGFPE, FPE_FLTOVF, "Float Overflow", 0xC0000091u},
        {SIGFPE, FPE_FLTUND, "Float Underflow", 0xC0000093u},
        {SIGFPE, FPE_FLTRES, "Float inexact result", 0xC000008Fu},
        {SIGFPE, FPE_FLTINV, "Float invalid operation", 0xC0000090u},
        {SIGFPE, FPE_FLTSUB, "Array Bounds Exceeded", 0xC000008Cu},
        {SIGILL, ILL_PRVOPC, "Priv'd Instruction", 0xC0000096u},
        {SIGILL, ILL_ILLOPC, "Illegal Instruction", 0xC000001Du},
        {SIGFPE, SI_USER, "Unknown Exception", static_cast<std::uint32_t>(SIGFPE)},
        {SIGUSR1, 0, "Unknown Exception", static_cast<std::uint32_t>(SIGUSR1)},
    };
    for (const ExceptionCase &c : cases) {
        std::uint32_t code = 0;
        EXPECT_STREQ(host_exception_name(c.signal, c.code, &code), c.name)
            << "signal " << c.signal << " code " << c.code;
        EXPECT_EQ(code, c.exception) << c.name;
    }
}

// ---- Include environment, temporary directory, paths -----------------------------------------

TEST_F(HostTest, IncludeEnvironmentSearch) {
    ScratchDir dir;
    fs::create_directories(dir.slash() + "a");
    fs::create_directories(dir.slash() + "b/sub");
    fs::create_directories(dir.slash() + "c/x.h"); // a directory of that name is passed over
    touch(dir.slash() + "b/x.h");
    touch(dir.slash() + "b/sub/y.h");
    touch(dir.slash() + "a/z.h");
    char buffer[HOST_NAME_SIZE];
    {
        EnvGuard include("include", std::nullopt);
        EnvGuard upper("INCLUDE", std::nullopt);
        EXPECT_FALSE(host_search_include_env("x.h", sizeof buffer, buffer));
    }
    {
        std::string list = dir.slash() + "c::" + dir.slash() + "a;" + dir.path() + "/b/;";
        EnvGuard include("include", list);
        EnvGuard upper("INCLUDE", dir.slash() + "a");
        ASSERT_TRUE(host_search_include_env("x.h", sizeof buffer, buffer));
        EXPECT_EQ(std::string(buffer), dir.slash() + "b/x.h");
        ASSERT_TRUE(host_search_include_env("sub/y.h", sizeof buffer, buffer));
        EXPECT_EQ(std::string(buffer), dir.slash() + "b/sub/y.h");
        EXPECT_FALSE(host_search_include_env("w.h", sizeof buffer, buffer));
    }
    {
        // INCLUDE is the fallback name when `include` is not set.
        EnvGuard include("include", std::nullopt);
        EnvGuard upper("INCLUDE", dir.slash() + "a");
        ASSERT_TRUE(host_search_include_env("z.h", sizeof buffer, buffer));
        EXPECT_EQ(std::string(buffer), dir.slash() + "a/z.h");
    }
    EXPECT_TRUE(stored_messages().empty());
    {
        // A path found but too long for the caller's buffer is a system error, not a cut name.
        EnvGuard include("include", dir.slash() + "b");
        char small[8];
        EXPECT_FALSE(host_search_include_env("x.h", sizeof small, small));
        EXPECT_EQ(stored_messages(),
                  std::vector<std::string>{
                      "file found in 'include' search list too long to fitin buffer"});
        EXPECT_EQ(fe_max_severity, SEVERITY_SYSTEM);
    }
}

TEST_F(HostTest, TemporaryDirectory) {
    struct Case {
        std::optional<std::string> tmpdir;
        const char *expected;
    };
    const Case cases[] = {
        {std::nullopt, "/tmp/"}, {"", "/tmp/"},   {"/var/x", "/var/x/"},
        {"/var/x/", "/var/x/"},  {"rel", "rel/"},
    };
    for (const Case &c : cases) {
        EnvGuard tmpdir("TMPDIR", c.tmpdir);
        char buffer[HOST_NAME_SIZE];
        host_temp_dir(sizeof buffer, buffer);
        EXPECT_STREQ(buffer, c.expected);
    }
    EXPECT_TRUE(stored_messages().empty());
    EnvGuard tmpdir("TMPDIR", "/var/tmp/x");
    char small[8];
    host_temp_dir(sizeof small, small);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(stored_messages(),
              std::vector<std::string>{"cannot get temporary area for temporary files"});
}

TEST(HostFilePart, IsTheTextAfterTheLastSlash) {
    const std::pair<const char *, const char *> cases[] = {
        {"a/b/c.F", "c.F"}, {"c.F", "c.F"},           {"/c", "c"},
        {"dir/", ""},       {"a\\b:c.F", "a\\b:c.F"}, {"", ""},
    };
    for (const auto &[path, part] : cases) EXPECT_STREQ(host_file_part(path), part) << path;
}

TEST(HostHelpFile, BesideTheProgramThenInShare) {
    ScratchDir dir;
    fs::create_directories(dir.slash() + "bin");
    fs::create_directories(dir.slash() + "share/tfpp");
    std::string program = dir.slash() + "bin/tfpp";
    char buffer[HOST_NAME_SIZE];
    EXPECT_FALSE(host_find_help_file(program.c_str(), sizeof buffer, buffer));
    touch(dir.slash() + "share/tfpp/zor_hlp.txt");
    ASSERT_TRUE(host_find_help_file(program.c_str(), sizeof buffer, buffer));
    EXPECT_EQ(std::string(buffer), dir.slash() + "bin/../share/tfpp/zor_hlp.txt");
    touch(dir.slash() + "bin/zor_hlp.txt");
    ASSERT_TRUE(host_find_help_file(program.c_str(), sizeof buffer, buffer));
    EXPECT_EQ(std::string(buffer), dir.slash() + "bin/zor_hlp.txt");
}

TEST(HostDate, SourceDateEpochGivesAReproducibleDate) {
    struct Case {
        const char *value;
        const char *text; // nullptr: ignored, the local time is used
    };
    const Case cases[] = {
        {"0", "Thu Jan  1 00:00:00 1970"},
        {"86399", "Thu Jan  1 23:59:59 1970"},
        {"1700000000", "Tue Nov 14 22:13:20 2023"},
        {"", nullptr},
        {"-1", nullptr},
        {"12a", nullptr},
        {" 5", nullptr},
        {"99999999999999999999999", nullptr},
    };
    for (const Case &c : cases) {
        EnvGuard epoch("SOURCE_DATE_EPOCH", c.value);
        std::time_t seconds = 0;
        EXPECT_EQ(host_source_date_epoch(&seconds), c.text != nullptr) << c.value;
        if (c.text != nullptr) {
            EXPECT_STREQ(host_date_text(), c.text);
        } else {
            EXPECT_EQ(std::strlen(host_date_text()), 24u) << c.value;
            EXPECT_STRNE(host_date_text(), "Thu Jan  1 00:00:00 1970");
        }
    }
}

// A thread started by host_start_thread that, each time it is asked, reads the processors it may
// run on. It outlives the test, as every such thread does.
struct AffinityProbe {
    std::mutex lock;
    std::condition_variable changed;
    int asked = 0;
    int answered = 0;
    cpu_set_t seen{};
};

void *run_probe(void *argument) {
    auto *probe = static_cast<AffinityProbe *>(argument);
    std::unique_lock<std::mutex> hold(probe->lock);
    for (;;) {
        probe->changed.wait(hold, [probe] { return probe->asked > probe->answered; });
        sched_getaffinity(0, sizeof probe->seen, &probe->seen);
        probe->answered = probe->asked;
        probe->changed.notify_all();
    }
}

cpu_set_t probe_affinity(AffinityProbe &probe) {
    std::unique_lock<std::mutex> hold(probe.lock);
    ++probe.asked;
    probe.changed.notify_all();
    probe.changed.wait(hold, [&probe] { return probe.answered == probe.asked; });
    return probe.seen;
}

// Runs the calling thread on `cpu` only.
void pin_to(int cpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
}

TEST(HostThreads, HelpersAreKeptOffTheProcessorOfTheThreadThatStartedThem) {
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    if (CPU_COUNT(&allowed) < 2) GTEST_SKIP() << "one processor: there is nothing to keep apart";
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 2; ++cpu)
        if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
    // Never destroyed: the thread waits on it until the process ends.
    auto &probe = *new AffinityProbe;
    // This thread on the first processor, then on the second: the helper follows each move,
    // and may run anywhere else the process may.
    ASSERT_TRUE(host_start_thread(run_probe, &probe));
    for (int here : cpus) {
        pin_to(here);
        host_keep_helpers_apart();
        cpu_set_t expected = allowed;
        CPU_CLR(here, &expected);
        cpu_set_t seen = probe_affinity(probe);
        EXPECT_TRUE(CPU_EQUAL(&seen, &expected))
            << "on processor " << here << " the helper may run on " << CPU_COUNT(&seen)
            << " processors, " << (CPU_ISSET(here, &seen) ? "this one among them" : "not this one");
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
}

} // namespace
