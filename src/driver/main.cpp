// The program's entry: install the host hooks, bring the toolkit up, then the run itself
// (driver/run.h: command line, banner, preprocessing, messages, list file, shut-down, output
// files, the copy of standard input) and exit with its status.
#include <cstdint>
#include <cstdio>
#ifdef TFPP_CRASH_TEST
#include <algorithm>
#include <cstdlib>
#endif

#include "driver/options.h"
#include "driver/run.h"
#include "fe/host.h"
#include "pp/pp.h"

namespace {

constexpr char BANNER_FORMAT[] = "Tavrel (R) Fortran Preprocessor Version %s\n";
constexpr char BANNER_NOTICE[] = "Copyright (C) 2026 The tfpp developers. All rights reserved.\n";

// Printed only once the command line is accepted, so -nologo anywhere on it suppresses it.
void print_banner() {
    std::fprintf(stderr, BANNER_FORMAT, TFPP_VERSION_STRING);
    std::fputs(BANNER_NOTICE, stderr);
    std::fputc('\n', stderr);
}

#ifdef TFPP_CRASH_TEST
// Only in the test build tfpp_crashtest: TFPP_CRASH_TEST=N makes a real invalid access after N
// scanning steps (after the first when N is not a positive number), with the input and the copy
// of standard input open, so that the crash hook's report and clean-up can be checked. The
// address comes from a volatile, so the compiler cannot turn the access into a trap.
long crash_countdown() {
    const char *text = std::getenv("TFPP_CRASH_TEST");
    return text == nullptr ? -1 : std::max(std::atol(text), 1L);
}

void crash_now() {
    volatile std::uintptr_t address = 16;
    *reinterpret_cast<volatile int *>(address) = 1;
}

// The crash-test build counts scanning steps, so it walks the loop one step at a time.
void scan_counting_steps(CurrentToken *token) {
    long countdown = crash_countdown();
    do {
        pp_scan_step(token);
        if (--countdown == 0) crash_now();
    } while (token->kind != TOKEN_END_OF_FILE);
}
#endif

} // namespace

int main(int argc, char **argv) {
    host_open_standard_streams();
    output_stream = stdout;
    host_install_hooks();
    fe_start_program();
#ifdef TFPP_CRASH_TEST
    FeRunSteps steps{scan_counting_steps, print_banner, nullptr};
#else
    FeRunSteps steps{pp_scan_to_end, print_banner, nullptr};
#endif
    host_exit(fe_run_program(argc, argv, steps));
}
