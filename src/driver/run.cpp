// This file implements the toolkit's start-up and shut-down order and the program's run between
// start-up and exit (see run.h).
#include "driver/run.h"

#include <cstdint>
#include <cstdio>

#include "driver/options.h"
#include "fe/fe.h"
#include "fe/host.h"
#include "lexer/lexer.h"
#include "mm/mm.h"
#include "msg/msg.h"
#include "si/si.h"
#include "text/text.h"

namespace {

// The stream table could not be brought up or down; the report names the start-up routine in
// both cases. It is made before the message service is up, so it goes straight to fe_message.
[[noreturn]] void report_stream_failure() {
    msg_param_string("fe_initialize", 'f');
    msg_param_string("si_initialize", 's');
    msg_report_catalogue(MSG_6BADINIT, POSITION_NULL);
    fe_internal_error();
}

} // namespace

void fe_initialize() {
    if (fe_is_up()) return;
    mm_initialize();
    if (si_initialize() != SI_OK) report_stream_failure();
    msg_initialize();
    msg_set_source_reader(&si_message_reader);
    msg_clear_params();
    fe_reset_flags();
    text_initialize();
    fe_set_up(true);
}

void fe_terminate() {
    if (!fe_is_up()) return;
    if (fe_get_flag(FE_FLAG_TEXT_TRACE) != 0) {
        text_dump_hash_table(stdout);
        text_hash_histogram(stdout);
    }
    text_finalize();
    msg_clear_messages();
    if (si_finalize() != SI_OK) report_stream_failure();
    fe_set_up(false);
}

void fe_start_program() {
    fe_initialize();
    lex_initialize();
    mm_initialize();
    pp_initialize();
    options_set_definitions_runner(pp_run_definitions);
    pp_set_include_recorder(deps_record);
}

int fe_run_program(int argc, char **argv, const FeRunSteps &steps) {
    StreamHandle main_stream = STREAM_NULL;
    std::uint8_t stdin_copied = 0;
    if (!parse_command_line(argc, argv, &main_stream, &stdin_copied)) {
        pp_check_open_groups();
        // The messages of the command line must be printed before fe_terminate clears them.
        msg_print_messages(stderr, 1);
        lex_finalize();
        fe_terminate();
        return 1;
    }
    if (show_banner != 0 && steps.banner != nullptr) steps.banner();

    pp_output_init();
    CurrentToken token{};
    steps.scan(&token);
    pp_check_open_groups();
    // Written before the messages are printed, so a failure to write it is among them.
    bool deps_written = options_write_depfile();
    options_check_sources();
    msg_print_messages(stderr, 1);
    if (list_stream != nullptr) {
        msg_list_file(main_stream, list_stream);
        std::fprintf(list_stream, "\nMaximum error severity  %d\n",
                     static_cast<int>(fe_max_severity));
    }
    lex_finalize();
    fe_terminate();
    if (steps.after_shut_down != nullptr) steps.after_shut_down();
    // Output that did not reach its file must not pass for a successful run.
    bool written = options_finish_output_files() && deps_written;
    // The copy of standard input is the only temporary file left at this point.
    if (stdin_copied != 0) host_remove_temp_files();
    bool failed = !written || (error_exit != 0 && fe_max_severity >= SEVERITY_ERROR);
    return failed ? 1 : 0;
}
