// The program's entry: the whole run in one straight sequence. Install the host hooks, bring the
// toolkit up, read the command line, print the banner, preprocess the input, print the collected
// messages, finish the list file, shut down, remove the copy of standard input and exit.
#include <cstdint>
#include <cstdio>
#ifdef TFPP_CRASH_TEST
#include <algorithm>
#include <cstdlib>
#endif

#include "driver/fe.h"
#include "driver/host.h"
#include "driver/options.h"
#include "lexer/lexer.h"
#include "mm/mm.h"
#include "msg/msg.h"
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
#endif

} // namespace

int main(int argc, char **argv) {
    output_stream = stdout;
    host_install_hooks();
    fe_initialize();
    lex_initialize();
    mm_initialize();
    pp_initialize();

    StreamHandle main_stream = STREAM_NULL;
    std::uint8_t stdin_copied = 0;
    if (!parse_command_line(argc, argv, &main_stream, &stdin_copied)) {
        pp_check_open_groups();
        // The messages of the command line must be printed before fe_terminate clears them.
        msg_print_messages(stderr, 1);
        lex_finalize();
        fe_terminate();
        host_exit(1);
    }
    if (show_banner != 0) print_banner();

    pp_output_init();
    CurrentToken token{};
#ifdef TFPP_CRASH_TEST
    // The crash-test build counts scanning steps, so it walks the loop one step at a time.
    long countdown = crash_countdown();
    do {
        pp_scan_step(&token);
        if (--countdown == 0) crash_now();
    } while (token.kind != TOKEN_END_OF_FILE);
#else
    pp_scan_to_end(&token);
#endif
    pp_check_open_groups();
    // Written before the messages are printed, so a failure to write it is among them.
    bool deps_written = deps_write();
    msg_print_messages(stderr, 1);
    if (list_stream != nullptr) {
        msg_list_file(main_stream, list_stream);
        std::fprintf(list_stream, "\nMaximum error severity  %d\n",
                     static_cast<int>(fe_max_severity));
    }
    lex_finalize();
    fe_terminate();
    // Output that did not reach its file must not pass for a successful run.
    bool written = options_finish_output_files() && deps_written;
    // The copy of standard input is the only temporary file left at this point.
    if (stdin_copied != 0) host_remove_temp_files();
    bool failed = !written || (error_exit != 0 && fe_max_severity >= SEVERITY_ERROR);
    host_exit(failed ? 1 : 0);
}
