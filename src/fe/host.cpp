// This file implements the host services on a POSIX system: the registry of temporary files
// with the signal hooks that remove them on every way out, the crash report, the search along
// the include environment variable, the temporary directory, the help text and the build date.
#include "fe/host.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "fe/fe.h"

namespace {

constexpr int HOST_ANY_CODE = -1000; // a signal row that matches every si_code
constexpr int TEMP_SLOTS = 8; // definitions, copy of standard input, output, list, trace, depfile
constexpr std::size_t ALT_STACK_SIZE = 64 * 1024;
constexpr char TEMP_PATTERN[] = "cpXXXXXX";
constexpr char HELP_FILE[] = "zor_hlp.txt";
constexpr char HELP_FILE_SHARED[] = "../share/tfpp/zor_hlp.txt";
constexpr char HELP_MISSING[] = "cannot open zor_hlp.txt to get help text\n";

struct ExceptionRow {
    std::uint32_t code;
    const char *name;
};

struct SignalRow {
    int signal;
    int code;
    std::uint32_t exception;
};

constexpr ExceptionRow exception_table[] = {
#define HOST_EXCEPTION(code, name) {code, name},
#define HOST_SIGNAL(signal, si_code, code)
#include "fe/host_exceptions.def"
#undef HOST_SIGNAL
#undef HOST_EXCEPTION
};
static_assert(std::size(exception_table) == 17, "15 documented exceptions and two of our own");

const SignalRow signal_table[] = {
#define HOST_EXCEPTION(code, name)
#define HOST_SIGNAL(signal, si_code, code) {signal, si_code, code},
#include "fe/host_exceptions.def"
#undef HOST_SIGNAL
#undef HOST_EXCEPTION
};
static_assert(std::size(signal_table) == 14, "one row per mapped signal and code");

// SIGXFSZ: a named output grew past the file size limit; its temporary file goes too.
constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ};
constexpr int crash_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// A registered temporary file. The name is complete before `active` is set, and `active` is
// cleared before the file is removed, so a signal handler never sees half a name.
struct TempSlot {
    char name[HOST_NAME_SIZE];
    volatile std::sig_atomic_t active;
};

struct HostState {
    TempSlot temps[TEMP_SLOTS];
    char date_text[64];
    alignas(16) char alt_stack[ALT_STACK_SIZE]; // the crash hook runs here after a stack overflow
    HostExitHook exit_hook;                     // null in the program: host_exit ends the process
    char temp_dir[HOST_NAME_SIZE];              // for scratch files; empty: the system's
};

HostState host;

// The threads started by host_start_thread, kept off the processor the thread that starts them
// (the one preprocessing) runs on: see host_keep_helpers_apart. They never end, so their
// handles stay valid.
constexpr int MAX_HELPERS = 4;

struct Helpers {
    pthread_t threads[MAX_HELPERS];
    int count = 0;
#if defined(__linux__)
    cpu_set_t allowed;     // the processors the process may run on, read at the first start
    bool possible = false; // two or more of them: the helpers have another one to run on
    int apart_from = -1;   // the processor the helpers were last kept off
#endif
};

Helpers helpers;

// Blocks the interrupt signals for its lifetime, so that the registry never changes under the
// interrupt hook and a file is never made without being registered.
class InterruptBlock {
  public:
    InterruptBlock() {
        sigset_t set;
        sigemptyset(&set);
        for (int signal : interrupt_signals) sigaddset(&set, signal);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~InterruptBlock() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    InterruptBlock(const InterruptBlock &) = delete;
    InterruptBlock &operator=(const InterruptBlock &) = delete;

  private:
    sigset_t old_;
};

// Removes every registered file using only async-signal-safe calls.
void unlink_registered() {
    for (TempSlot &slot : host.temps) {
        if (slot.active == 0) continue;
        slot.active = 0;
        unlink(slot.name);
    }
}

// A line buffer for the crash report: formats without stdio, writes with write(2).
struct ReportWriter {
    char text[512];
    std::size_t length = 0;

    void flush() {
        std::size_t done = 0;
        while (done < length) {
            ssize_t n = write(STDOUT_FILENO, text + done, length - done);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        length = 0;
    }
    void put(char c) {
        if (length == sizeof text) flush();
        text[length++] = c;
    }
    void put(const char *s) {
        while (*s != '\0') put(*s++);
    }
    void put_hex(std::uintptr_t value, int min_digits) {
        char digits[2 * sizeof value];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        for (int i = count; i < min_digits; ++i) put('0');
        while (count > 0) put(digits[--count]);
    }
    void put_unsigned(unsigned value, int width) {
        char digits[12];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (int i = count; i < width; ++i) put(' ');
        while (count > 0) put(digits[--count]);
    }
};

// The process's command line from /proc, its arguments joined by blanks.
void put_command_line(ReportWriter &out) {
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char chunk[256];
    bool pending_blank = false;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            // Each argument ends in a NUL: a blank separates it from the next one only.
            if (chunk[i] == '\0') {
                pending_blank = true;
                continue;
            }
            if (pending_blank) out.put(' ');
            pending_blank = false;
            out.put(chunk[i]);
        }
    }
    close(fd);
}

// The address of the faulting instruction where the machine context gives it, else the
// address the signal names.
std::uintptr_t fault_address(const siginfo_t *info, const void *context) {
#if defined(__x86_64__)
    if (context != nullptr)
        return static_cast<std::uintptr_t>(
            static_cast<const ucontext_t *>(context)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    if (context != nullptr)
        return static_cast<std::uintptr_t>(
            static_cast<const ucontext_t *>(context)->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    if (context != nullptr)
        return static_cast<std::uintptr_t>(
            static_cast<const ucontext_t *>(context)->uc_mcontext.pc);
#else
    (void)context;
#endif
    return info != nullptr ? reinterpret_cast<std::uintptr_t>(info->si_addr) : 0;
}

void set_default_action(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// Joins `a`, `b` and `c` into `buffer`; false when the result does not fit.
bool join(char *buffer, std::size_t size, const char *a, std::size_t a_length, const char *b,
          const char *c = "") {
    std::size_t b_length = std::strlen(b);
    std::size_t c_length = std::strlen(c);
    if (a_length + b_length + c_length >= size) return false;
    std::memcpy(buffer, a, a_length);
    std::memcpy(buffer + a_length, b, b_length);
    std::memcpy(buffer + a_length + b_length, c, c_length + 1);
    return true;
}

bool is_regular_file(const char *path) {
    struct stat info;
    return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

// Runs $PAGER (default `more`) with the help file as its standard input. False when no pager
// could be started, so that the caller copies the file instead.
bool run_pager(int fd) {
    const char *pager = std::getenv("PAGER");
    if (pager == nullptr || pager[0] == '\0') pager = "more";
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        if (dup2(fd, STDIN_FILENO) < 0) _exit(127);
        close(fd);
        execl("/bin/sh", "sh", "-c", pager, static_cast<char *>(nullptr));
        _exit(127);
    }
    // While the pager owns the terminal, an interrupt is the pager's to handle, as with system().
    struct sigaction ignore {
    }, old_int{}, old_quit{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

void copy_to_stdout(int fd) {
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::fwrite(chunk, 1, static_cast<std::size_t>(n), stdout);
    }
    std::fflush(stdout);
}

} // namespace

void host_open_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open gives the lowest free descriptor: this one, since those below it are open.
        int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0) close(opened);
    }
}

void host_install_hooks() {
    stack_t stack{};
    stack.ss_sp = host.alt_stack;
    stack.ss_size = sizeof host.alt_stack;
    sigaltstack(&stack, nullptr);

    sigset_t interrupts;
    sigemptyset(&interrupts);
    for (int signal : interrupt_signals) sigaddset(&interrupts, signal);

    struct sigaction crash {};
    crash.sa_sigaction = host_exception_filter;
    crash.sa_mask = interrupts;
    crash.sa_flags = SA_SIGINFO | SA_ONSTACK;
    for (int signal : crash_signals) sigaction(signal, &crash, nullptr);

    struct sigaction interrupt {};
    interrupt.sa_handler = host_ctrl_handler;
    interrupt.sa_mask = interrupts;
    for (int signal : interrupt_signals) {
        // A signal the caller chose to ignore (nohup, a background job) stays ignored.
        struct sigaction old {};
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(signal, &interrupt, nullptr);
    }
}

void host_ctrl_handler(int signal) {
    int saved_errno = errno;
    unlink_registered();
    // With the default action restored, the re-raised signal ends the process as it would have
    // without us, so the caller sees the conventional status.
    set_default_action(signal);
    raise(signal);
    errno = saved_errno;
}

void host_exception_filter(int signal, siginfo_t *info, void *context) {
    unlink_registered();
    ReportWriter out;
    out.put("Program Exception:\n");
    char program[HOST_NAME_SIZE];
    ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    if (length > 0) {
        program[length] = '\0';
        out.put("  Program: ");
        out.put(program);
        out.put('\n');
    } else {
        out.put("?Error getting program name\n");
    }
    out.put("  Command Line: ");
    put_command_line(out);
    out.put('\n');
    out.put("  At Address: ");
    out.put_hex(fault_address(info, context), 8);
    out.put('\n');
    std::uint32_t code = 0;
    const char *name = host_exception_name(signal, info != nullptr ? info->si_code : 0, &code);
    out.put("  Exception was: ");
    out.put(name);
    out.put("  (0x");
    out.put_hex(code, 1);
    out.put(")\n");
    out.put("  Exception is non continueable\n");
    // The one parameter the host gives is the address that was accessed.
    bool has_address = signal == SIGSEGV || signal == SIGBUS;
    out.put("  Exception param count: ");
    out.put_unsigned(has_address ? 1 : 0, 0);
    out.put('\n');
    if (has_address && info != nullptr) {
        out.put("    ");
        out.put_unsigned(0, 3);
        out.put(": ");
        out.put_hex(reinterpret_cast<std::uintptr_t>(info->si_addr), 8);
        out.put('\n');
    }
    out.flush();
    // The signal is blocked while this handler runs: re-raised with the default action it is
    // delivered on return and ends the process by that signal (a hardware fault also recurs).
    set_default_action(signal);
    raise(signal);
}

const char *host_exception_name(int signal, int code, std::uint32_t *exception_code) {
    for (const SignalRow &row : signal_table) {
        if (row.signal != signal || (row.code != HOST_ANY_CODE && row.code != code)) continue;
        for (const ExceptionRow &exception : exception_table) {
            if (exception.code != row.exception) continue;
            if (exception_code != nullptr) *exception_code = exception.code;
            return exception.name;
        }
    }
    if (exception_code != nullptr) *exception_code = static_cast<std::uint32_t>(signal);
    return "Unknown Exception";
}

int host_create_temp_file(const char *dir, char *name) {
    name[0] = '\0';
    InterruptBlock block;
    TempSlot *slot = nullptr;
    for (TempSlot &candidate : host.temps) {
        if (candidate.active == 0) {
            slot = &candidate;
            break;
        }
    }
    if (!join(name, HOST_NAME_SIZE, dir, std::strlen(dir), TEMP_PATTERN)) return -1;
    if (slot == nullptr) return -1;
    std::memcpy(slot->name, name, std::strlen(name) + 1);
    int fd = mkstemp(slot->name);
    if (fd < 0) return -1;
    std::memcpy(name, slot->name, std::strlen(slot->name) + 1);
    slot->active = 1;
    return fd;
}

int host_open_scratch_file() {
    char dir[HOST_NAME_SIZE];
    if (host.temp_dir[0] != '\0')
        std::memcpy(dir, host.temp_dir, sizeof dir);
    else
        host_temp_dir(sizeof dir, dir);
    char name[HOST_NAME_SIZE];
    int fd = host_create_temp_file(dir, name);
    if (fd >= 0) host_delete_temp_file(name);
    return fd;
}

void host_set_temp_dir(const char *dir) {
    host.temp_dir[0] = '\0';
    if (dir != nullptr && std::strlen(dir) < sizeof host.temp_dir)
        std::memcpy(host.temp_dir, dir, std::strlen(dir) + 1);
}

void host_delete_temp_file(const char *name) {
    InterruptBlock block;
    for (TempSlot &slot : host.temps) {
        if (slot.active == 0 || std::strcmp(slot.name, name) != 0) continue;
        slot.active = 0;
        std::remove(slot.name);
    }
}

void host_forget_temp_file(const char *name) {
    InterruptBlock block;
    for (TempSlot &slot : host.temps) {
        if (slot.active != 0 && std::strcmp(slot.name, name) == 0) slot.active = 0;
    }
}

void host_remove_temp_files() {
    {
        InterruptBlock block;
        unlink_registered();
    }
    std::fflush(stderr);
    std::fflush(stdout);
}

void host_exit(int status) {
    host_remove_temp_files();
    if (host.exit_hook != nullptr) host.exit_hook(status);
    std::exit(status);
}

void host_set_exit_hook(HostExitHook hook) { host.exit_hook = hook; }

bool host_search_include_env(const char *name, std::size_t size, char *buffer, Position where) {
    const char *list = std::getenv("include");
    if (list == nullptr) list = std::getenv("INCLUDE");
    if (list == nullptr) return false;
    std::size_t name_length = std::strlen(name);
    // One candidate at a time, in a block large enough for the longest element of the list.
    auto *candidate = static_cast<char *>(fe_alloc(std::strlen(list) + name_length + 2, 1));
    bool found = false;
    const char *element = list;
    while (!found) {
        std::size_t length = std::strcspn(element, ":;");
        if (length > 0) {
            const char *slash = element[length - 1] == '/' ? "" : "/";
            join(candidate, std::strlen(list) + name_length + 2, element, length, slash, name);
            if (is_regular_file(candidate)) {
                found = true;
                if (std::strlen(candidate) >= size) {
                    fe_message("file found in 'include' search list too long to fitin buffer", "",
                               &where, SEVERITY_SYSTEM);
                    std::free(candidate);
                    return false;
                }
                std::memcpy(buffer, candidate, std::strlen(candidate) + 1);
            }
        }
        if (element[length] == '\0') break;
        element += length + 1;
    }
    std::free(candidate);
    return found;
}

void host_temp_dir(std::size_t size, char *buffer) {
    const char *dir = std::getenv("TMPDIR");
    if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
    std::size_t length = std::strlen(dir);
    const char *slash = dir[length - 1] == '/' ? "" : "/";
    if (size == 0 || !join(buffer, size, dir, length, slash)) {
        if (size > 0) buffer[0] = '\0';
        fe_message("cannot get temporary area for temporary files", "", nullptr, SEVERITY_SYSTEM);
    }
}

const char *host_file_part(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool host_find_help_file(const char *program, std::size_t size, char *buffer) {
    std::size_t dir_length = static_cast<std::size_t>(host_file_part(program) - program);
    for (const char *relative : {HELP_FILE, HELP_FILE_SHARED}) {
        if (join(buffer, size, program, dir_length, relative) && is_regular_file(buffer) &&
            access(buffer, R_OK) == 0)
            return true;
    }
    if (size > 0) buffer[0] = '\0';
    return false;
}

void host_show_help() {
    char program[HOST_NAME_SIZE];
    char path[HOST_NAME_SIZE];
    int fd = -1;
    ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    if (length > 0) {
        program[length] = '\0';
        if (host_find_help_file(program, sizeof path, path)) fd = open(path, O_RDONLY | O_CLOEXEC);
    }
    std::fflush(stdout);
    if (fd < 0) {
        std::fputs(HELP_MISSING, stderr);
        host_exit(0);
    }
    if (!isatty(STDOUT_FILENO) || !run_pager(fd)) {
        lseek(fd, 0, SEEK_SET);
        copy_to_stdout(fd);
    }
    close(fd);
    host_exit(0);
}

bool host_source_date_epoch(std::time_t *seconds) {
    const char *text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr || text[0] == '\0') return false;
    std::uint64_t value = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(*p - '0');
        // Far beyond any date gmtime can show; also keeps the sum from wrapping.
        if (value > (std::uint64_t{1} << 52)) return false;
    }
    *seconds = static_cast<std::time_t>(value);
    return true;
}

const char *host_date_text() {
    std::time_t seconds = 0;
    std::tm broken{};
    if (!host_source_date_epoch(&seconds) || gmtime_r(&seconds, &broken) == nullptr)
        return fe_date_text();
    // The asctime layout, without its newline: "Thu Jan  1 00:00:00 1970".
    std::strftime(host.date_text, sizeof host.date_text, "%a %b %e %H:%M:%S %Y", &broken);
    return host.date_text;
}

bool host_start_thread(void *(*run)(void *), void *argument) {
    sigset_t blocked, old;
    sigemptyset(&blocked);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2})
        sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, &old);
    pthread_t thread;
    int failed = pthread_create(&thread, nullptr, run, argument);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (failed != 0) return false;
    pthread_detach(thread);
    if (helpers.count == 0) {
        // A child made by fork has none of its parent's threads.
        static bool fork_handler_added = false;
        if (!fork_handler_added) {
            pthread_atfork(nullptr, nullptr, [] { helpers = Helpers{}; });
            fork_handler_added = true;
        }
#if defined(__linux__)
        helpers.possible = sched_getaffinity(0, sizeof helpers.allowed, &helpers.allowed) == 0 &&
                           CPU_COUNT(&helpers.allowed) >= 2;
#endif
    }
    if (helpers.count < MAX_HELPERS) {
        helpers.threads[helpers.count++] = thread;
#if defined(__linux__)
        helpers.apart_from = -1; // the new one is placed too
#endif
        host_keep_helpers_apart();
    }
    return true;
}

void host_keep_helpers_apart() {
#if defined(__linux__)
    if (!helpers.possible) return;
    const int here = sched_getcpu();
    if (here == helpers.apart_from || here < 0 || !CPU_ISSET(here, &helpers.allowed)) return;
    helpers.apart_from = here;
    cpu_set_t others = helpers.allowed;
    CPU_CLR(here, &others);
    // A failure (a container that forbids it) leaves the thread where the system puts it.
    for (int i = 0; i < helpers.count; ++i)
        pthread_setaffinity_np(helpers.threads[i], sizeof others, &others);
#endif
}
