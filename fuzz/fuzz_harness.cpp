// This file implements the fuzz targets' way of running the program in-process: host_exit is
// turned into a C++ exception caught here (only in these targets; the program never throws),
// and after every run each subsystem is put back to its start-up state through its own reset.
#include "fuzz_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/options.h"
#include "driver/run.h"
#include "fe/fe.h"
#include "fe/host.h"
#include "lexer/lexer.h"
#include "mm/mm.h"
#include "msg/msg.h"
#include "pp/pp.h"
#include "pp/pp_internal.h"
#include "si/si.h"
#include "text/text.h"

namespace {

// Thrown by the exit hook; carries the status host_exit was given.
struct FuzzExit {
    int status;
};

[[noreturn]] void throw_exit(int status) { throw FuzzExit{status}; }

[[noreturn]] void violation(const char *what) {
    std::fprintf(stderr, "fuzz harness: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

// Applied after every start-up, which turns the copy of plain lines back on.
bool copy_plain_lines = true;

// The working folder's name, for the removal at exit.
char work_dir_name[256];
// The process that made the folder: a child forked later (a death test) that exits must not
// remove it from under its parent.
pid_t work_dir_owner = 0;

// Removes the working folder and the files in it (it has no subfolders).
void remove_work_dir() {
    if (::getpid() != work_dir_owner) return;
    if (DIR *dir = ::opendir(work_dir_name)) {
        while (const dirent *entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            ::unlink((std::string(work_dir_name) + "/" + entry->d_name).c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(work_dir_name);
}

struct MainArguments {
    int argc;
    char **argv;
    bool completed;
};

// Set by the check after a normal end's shut-down.
bool reached_normal_end = false;

// What is still open after a normal shut-down was never closed by it: the manager's own two
// pools and the general pool are all that may remain.
void check_pools_after_shut_down() {
    if (mm_statistics().open_pools != 3) violation("a pool is still open after the shut-down");
    reached_normal_end = true;
}

// The program's run as main() makes it, without the host's signal hooks.
void program_body(void *argument) {
    auto *args = static_cast<MainArguments *>(argument);
    output_stream = stdout;
    fuzz_toolkit_up();
    reached_normal_end = false;
    FeRunSteps steps{pp_scan_to_end, nullptr, check_pools_after_shut_down};
    int status = fe_run_program(args->argc, args->argv, steps);
    args->completed = reached_normal_end;
    host_exit(status);
}

} // namespace

const std::string &fuzz_work_dir() {
    static std::string dir = [] {
        // In memory where there is such a folder: every input is written there, twice.
        std::string pattern =
            ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/tfpp-fuzz-XXXXXX" : "/tmp/tfpp-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) violation("cannot make the working folder");
        std::snprintf(work_dir_name, sizeof work_dir_name, "%s", pattern.c_str());
        work_dir_owner = ::getpid();
        std::atexit(remove_work_dir);
        std::string made = pattern + "/";
        ::setenv("TMPDIR", made.c_str(), 1);
        ::unsetenv("include");
        ::unsetenv("INCLUDE");
        ::setenv("SOURCE_DATE_EPOCH", "0", 1);
        return made;
    }();
    return dir;
}

std::string fuzz_write_file(const char *name, const std::uint8_t *data, std::size_t size) {
    std::string path = fuzz_work_dir() + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) violation("cannot write an input file");
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n <= 0) violation("cannot write an input file");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    ::close(fd);
    return path;
}

std::string fuzz_read_file(const char *name) {
    std::string path = fuzz_work_dir() + name;
    std::string bytes;
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return bytes;
    char block[65536];
    for (;;) {
        ssize_t n = ::read(fd, block, sizeof block);
        if (n <= 0) break;
        bytes.append(block, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

void fuzz_violation(const char *what) { violation(what); }

int fuzz_guarded(void (*body)(void *), void *argument) {
    host_set_exit_hook(throw_exit);
    int status = -1;
    try {
        body(argument);
    } catch (const FuzzExit &exit) {
        status = exit.status;
    }
    host_set_exit_hook(nullptr);
    return status;
}

void fuzz_toolkit_up() {
    fe_start_program();
    pp_set_plain_lines(copy_plain_lines);
}

void fuzz_copy_plain_lines(bool enabled) { copy_plain_lines = enabled; }

void fuzz_wide_hints(bool on) { pp_set_wide_hints(on); }

void fuzz_toolkit_down() {
    // Each step only forgets or frees; none may end the run. The shut-down checks that would
    // (unprinted messages, a failing close) are the program's, run before this when it ended
    // normally.
    int status = fuzz_guarded(
        [](void *) {
            options_reset();
            pp_reset();
            lex_finalize();
            text_finalize();
            si_finalize();
            msg_reset();
            fe_reset();
            mm_finalize();
        },
        nullptr);
    if (status != -1) violation("the tear-down itself ended through the fatal exit");
}

int fuzz_run_program(int argc, char **argv, bool *completed) {
    MainArguments args{argc, argv, false};
    int status = fuzz_guarded(program_body, &args);
    if (status == -1) violation("the run came back without an exit");
    fuzz_toolkit_down();
    *completed = args.completed;
    return status;
}

int fuzz_descriptor_mark() {
    int fd = ::dup(0);
    if (fd >= 0) ::close(fd);
    return fd;
}

void fuzz_check_clean(int descriptor_mark, const char *const *keep) {
    std::fflush(stdout);
    if (fuzz_descriptor_mark() != descriptor_mark) {
        // Name the descriptors, so that the report says which file was left open.
        if (DIR *fds = ::opendir("/proc/self/fd")) {
            while (const dirent *entry = ::readdir(fds)) {
                char link[512] = {};
                std::string path = std::string("/proc/self/fd/") + entry->d_name;
                if (::readlink(path.c_str(), link, sizeof link - 1) > 0)
                    std::fprintf(stderr, "fuzz harness: fd %s -> %s\n", entry->d_name, link);
            }
            ::closedir(fds);
        }
        violation("a run left a file descriptor open");
    }
    if (mm_statistics().open_pools != 0) violation("a pool survived the tear-down");
    DIR *dir = ::opendir(fuzz_work_dir().c_str());
    if (dir == nullptr) violation("cannot read the working folder");
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        bool kept = false;
        for (const char *const *k = keep; *k != nullptr; ++k)
            kept = kept || std::strcmp(*k, name) == 0;
        if (!kept) {
            ::closedir(dir);
            std::fprintf(stderr, "fuzz harness: file left behind: %s\n", name);
            violation("a run left a file in the working folder");
        }
    }
    ::closedir(dir);
}
