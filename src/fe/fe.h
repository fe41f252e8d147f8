// Front-end services: the report path with its direct fallback, the maximum severity, the fatal
// exit with its hooks, debug switches and traces. They stand below every other subsystem and
// call none of them: the message service plugs into the report path through the hooks below,
// and the order in which the toolkit comes up and goes down is the driver's (driver/run.h).
#pragma once

#include <cstddef>
#include <cstdio>

#include "common/types.h"

// The highest severity reported so far; raised, never lowered.
extern Severity fe_max_severity;

// Whether the toolkit is up: set at the end of the start-up, cleared by the shut-down (both in
// the driver) and by fe_reset.
bool fe_is_up();
void fe_set_up(bool up);

// The front end's own part of the start-up: every debug flag at its initial value, traces on
// standard output.
void fe_reset_flags();

// Forgets everything the front end keeps between runs: the exit hooks, the fatal-exit counters,
// the report hooks, the flags, the trace stream and the maximum severity. Call it after a
// shut-down or a fatal exit, so that fe_initialize can bring the toolkit up again; only
// harnesses need it.
void fe_reset();

// Reports catalogue entry `id` at `pos`, its text expanded with the parameters bound before,
// through the catalogue hook. Without one (the message service is not up) an assertion line
// saying so is reported instead.
void fe_report(MessageId id, Position pos);

// The routine behind fe_report: the message service installs its own at start-up, which looks
// the entry up in its catalogue, expands the text and hands it to fe_message.
using FeCatalogueHook = void (*)(MessageId id, Position pos);
void fe_set_catalogue_hook(FeCatalogueHook hook);

// Hands a finished message to the report hook; without one prints a direct "** QXR" line.
// `id` may be null or empty; `pos` may be null (no position).
void fe_message(const char *text, const char *id, const Position *pos, Severity severity);

// Runs the exit hooks (at most once), prints the emergency lines and exits with status 1.
[[noreturn]] void fe_fatal_exit();
[[noreturn]] void fe_internal_error();

using FeExitHook = void (*)(void *argument);
// Appends a hook run by the first fatal exit, in the order the hooks were added.
void fe_add_exit_hook(FeExitHook routine, void *argument);

// The routine that files finished messages; cleared for good by a nested report.
using FeReportHook = void (*)(const char *text, const char *id, const Position *pos,
                              Severity severity);
void fe_set_report_hook(FeReportHook hook);
FeReportHook fe_get_report_hook();

// The routine that prints the collected messages when the exit hooks themselves failed.
using FeEmergencyPrintHook = void (*)();
void fe_set_emergency_print_hook(FeEmergencyPrintHook hook);
FeEmergencyPrintHook fe_get_emergency_print_hook();

// The debug flag table: FE_FLAG_TEXT_DEBUG .. FE_FLAG_ERROR_RECOVERY (fe_flags.def).
enum FeFlag : std::uint8_t {
#define FE_FLAG(index, ident, name, initial) ident = index,
#include "fe/fe_flags.def"
#undef FE_FLAG
    FE_FLAG_COUNT
};
void fe_set_flag(int index, std::uint8_t value);
std::uint8_t fe_get_flag(int index);
const char *fe_flag_name(int index); // nullptr outside 0..10

void fe_set_trace_stream(std::FILE *stream);
std::FILE *fe_get_trace_stream();

// A routine run before every trace line with the trace stream, so that text a subsystem still
// holds in a buffer in front of that same stream is written first and the lines come in the
// order they were made (the preprocessor's output installs one). Null removes it.
using FeTraceHook = void (*)(std::FILE *trace);
void fe_set_trace_hook(FeTraceHook hook);

// The trace stream, for a trace line about to be written: the trace hook has run.
std::FILE *fe_begin_trace();

// n * m bytes from the host heap; on failure "Ran out of memory" and the fatal exit.
void *fe_alloc(std::size_t n, std::size_t m);

// The current local date and time in the 24-character asctime form, without the newline.
const char *fe_date_text();

// Writes a character readably for traces: "<0>", "<EOF>", "<NL>", "<FF>", "<%d>" or itself.
void fe_print_char(std::FILE *stream, int c);
