// The benchmark's launcher: runs a program a number of times, one after the other, and prints
// for each run its wall time, CPU time, exit status and peak resident set size. The harness runs
// every program through it, because a child started straight from the harness would inherit the
// harness's own resident size as its peak (the kernel keeps the high-water mark across exec).
// With --fresh FILE the file is removed before each run and the written data is flushed to the
// disk, outside the timed part: otherwise a run would pay for truncating whatever the run before
// it wrote there (22 ms for a 100 MB output, more than a whole 10 MB run of tfpp) and compete
// with the writeback of earlier output.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double seconds(const timespec &t) { return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9; }

double seconds(const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; }

// In the child: standard input and output from and to /dev/null, standard error to `err_path`.
[[noreturn]] void exec_child(const char *err_path, char **argv) {
    int null_in = open("/dev/null", O_RDONLY);
    int null_out = open("/dev/null", O_WRONLY);
    int err = open(err_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (null_in < 0 || null_out < 0 || err < 0) _exit(126);
    dup2(null_in, 0);
    dup2(null_out, 1);
    dup2(err, 2);
    execvp(argv[0], argv);
    _exit(127);
}

} // namespace

int main(int argc, char **argv) {
    const char *usage_text =
        "usage: bench_spawn RUNS STDERR-FILE [--fresh OUTPUT-FILE] PROGRAM [ARGUMENT...]\n";
    if (argc < 4) {
        std::fputs(usage_text, stderr);
        return 2;
    }
    const char *fresh = nullptr; // removed before each run
    char **program = argv + 3;
    if (std::strcmp(argv[3], "--fresh") == 0) {
        if (argc < 6) {
            std::fputs(usage_text, stderr);
            return 2;
        }
        fresh = argv[4];
        program = argv + 5;
    }
    int runs = std::atoi(argv[1]);
    if (runs <= 0) {
        std::fprintf(stderr, "bench_spawn: bad run count '%s'\n", argv[1]);
        return 2;
    }
    for (int i = 0; i < runs; ++i) {
        if (fresh != nullptr) {
            if (unlink(fresh) != 0 && errno != ENOENT) {
                std::fprintf(stderr, "bench_spawn: %s: %s\n", fresh, std::strerror(errno));
                return 1;
            }
            // The writeback of earlier runs' output would otherwise compete with this run.
            sync();
        }
        timespec start{}, end{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        pid_t pid = fork();
        if (pid < 0) {
            std::fprintf(stderr, "bench_spawn: fork: %s\n", std::strerror(errno));
            return 1;
        }
        if (pid == 0) exec_child(argv[2], program);
        int status = 0;
        rusage usage{};
        while (wait4(pid, &status, 0, &usage) < 0) {
            if (errno != EINTR) {
                std::fprintf(stderr, "bench_spawn: wait4: %s\n", std::strerror(errno));
                return 1;
            }
        }
        clock_gettime(CLOCK_MONOTONIC, &end);
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::printf("%.9f %.6f %d %ld\n", seconds(end) - seconds(start),
                    seconds(usage.ru_utime) + seconds(usage.ru_stime), code, usage.ru_maxrss);
    }
    return 0;
}
