// This file implements the front-end services: the report path into the message service with
// its direct fallback lines, the fatal exit with its exit hooks and emergency output, the debug
// flag table and the small helpers used by traces.
#include "fe/fe.h"

#include <cstdlib>
#include <ctime>
#include <iterator>

#include "fe/host.h"

Severity fe_max_severity = SEVERITY_NONE;

namespace {

struct ExitHookRecord {
    ExitHookRecord *next;
    FeExitHook routine;
    void *argument;
};

struct FrontEndState {
    bool initialized = false;
    FeReportHook report_hook = nullptr;
    FeEmergencyPrintHook emergency_print_hook = nullptr;
    FeCatalogueHook catalogue_hook = nullptr;
    std::int32_t report_depth = 0;   // nesting of fe_message
    std::int32_t fatal_entries = 0;  // entries into fe_fatal_exit
    std::int32_t exit_hooks_run = 0; // the hooks run at most once
    ExitHookRecord *exit_hooks = nullptr;
    std::uint8_t flags[FE_FLAG_COUNT] = {};
    std::FILE *trace_stream = nullptr;
    FeTraceHook trace_hook = nullptr;
    char date_text[32] = {};
};

FrontEndState fe;

const char *const flag_names[FE_FLAG_COUNT] = {
#define FE_FLAG(index, ident, name, initial) name,
#include "fe/fe_flags.def"
#undef FE_FLAG
};

constexpr std::uint8_t flag_initial[FE_FLAG_COUNT] = {
#define FE_FLAG(index, ident, name, initial) initial,
#include "fe/fe_flags.def"
#undef FE_FLAG
};

#define FE_FLAG(index, ident, name, initial) static_assert(ident == index);
#include "fe/fe_flags.def"
#undef FE_FLAG
static_assert(FE_FLAG_COUNT == 11, "the debug flag table has 11 entries");

// The lower-case severity names of the direct lines (the message service prints the same).
constexpr const char *severity_names[] = {
#define SEVERITY_ROW(value, name, upper_name, letter, limit) name,
#include "common/msg_severities.def"
#undef SEVERITY_ROW
};

const char *severity_name(Severity severity) {
    if (severity < 0 || severity >= static_cast<int>(std::size(severity_names)))
        return "***BAD SEVERITY***";
    return severity_names[severity];
}

// The text of a catalogue entry as it stands, for the lines printed when nothing can be filed.
constexpr const char *catalogue_text(MessageId id) {
    switch (id) {
#define MSG_ENTRY(index, ident, text)                                                              \
    case MSG_##ident:                                                                              \
        return text;
#include "common/msg_catalogue.def"
#undef MSG_ENTRY
    default: return "";
    }
}

// The direct form of a report, used when no report hook is installed.
void print_direct(const char *text, const char *id, Severity severity) {
    std::fflush(stdout);
    if (id == nullptr || id[0] == '\0')
        std::fprintf(stderr, "** QXR %s: %s\n", severity_name(severity), text);
    else
        std::fprintf(stderr, "** QXR %s [%s]:\n   %s\n", severity_name(severity), id, text);
    std::fflush(stderr);
}

void print_cannot_print() {
    std::fflush(stdout);
    std::fputs("[ Cannot print messages. ]\n", stderr);
}

} // namespace

bool fe_is_up() { return fe.initialized; }
void fe_set_up(bool up) { fe.initialized = up; }

void fe_reset_flags() {
    for (int i = 0; i < FE_FLAG_COUNT; ++i) fe.flags[i] = flag_initial[i];
    fe.trace_stream = stdout;
}

void fe_reset() {
    while (fe.exit_hooks != nullptr) {
        ExitHookRecord *next = fe.exit_hooks->next;
        std::free(fe.exit_hooks);
        fe.exit_hooks = next;
    }
    fe = FrontEndState{};
    fe_max_severity = SEVERITY_NONE;
}

void fe_report(MessageId id, Position pos) {
    if (fe.catalogue_hook != nullptr)
        fe.catalogue_hook(id, pos);
    else
        fe_message("a catalogue message was reported before the message service was up", "", &pos,
                   SEVERITY_ASSERTION);
}

void fe_set_catalogue_hook(FeCatalogueHook hook) { fe.catalogue_hook = hook; }

void fe_message(const char *text, const char *id, const Position *pos, Severity severity) {
    if (severity > fe_max_severity) fe_max_severity = severity;
    if (fe.report_depth > 1) return;
    // A report made while another is being filed means the message service itself is failing:
    // from now on every report is printed directly.
    if (fe.report_depth == 1) fe.report_hook = nullptr;
    ++fe.report_depth;
    if (fe.report_hook != nullptr)
        fe.report_hook(text, id, pos, severity);
    else
        print_direct(text, id, severity);
    --fe.report_depth;
}

void fe_fatal_exit() {
    ++fe.fatal_entries;
    switch (fe.fatal_entries) {
    case 1:
        if (fe.exit_hooks_run++ == 0) {
            for (ExitHookRecord *hook = fe.exit_hooks; hook != nullptr; hook = hook->next)
                hook->routine(hook->argument);
        }
        break;
    case 2:
        if (fe.emergency_print_hook != nullptr)
            fe.emergency_print_hook();
        else
            print_cannot_print();
        break;
    case 3: print_cannot_print(); break;
    default: break;
    }
    if (fe.fatal_entries < 4 && fe_max_severity > SEVERITY_FATAL) {
        std::fflush(stdout);
        std::fputs("[ Aborting due to internal error. ]\n", stderr);
    }
    // Only now are the temporary files removed: the hooks above may have re-read the copy of
    // standard input to show source lines. Leaving them would leak a copy of the user's input.
    host_exit(1);
}

void fe_internal_error() { fe_fatal_exit(); }

void fe_add_exit_hook(FeExitHook routine, void *argument) {
    // From the host heap: the hooks are few, and kept until fe_reset.
    auto *record = static_cast<ExitHookRecord *>(fe_alloc(1, sizeof(ExitHookRecord)));
    record->next = nullptr;
    record->routine = routine;
    record->argument = argument;
    ExitHookRecord **tail = &fe.exit_hooks;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = record;
}

void fe_set_report_hook(FeReportHook hook) { fe.report_hook = hook; }
FeReportHook fe_get_report_hook() { return fe.report_hook; }
void fe_set_emergency_print_hook(FeEmergencyPrintHook hook) { fe.emergency_print_hook = hook; }
FeEmergencyPrintHook fe_get_emergency_print_hook() { return fe.emergency_print_hook; }

void fe_set_flag(int index, std::uint8_t value) {
    if (index >= 0 && index < FE_FLAG_COUNT) fe.flags[index] = value;
}

std::uint8_t fe_get_flag(int index) {
    return index >= 0 && index < FE_FLAG_COUNT ? fe.flags[index] : 0;
}

const char *fe_flag_name(int index) {
    return index >= 0 && index < FE_FLAG_COUNT ? flag_names[index] : nullptr;
}

void fe_set_trace_stream(std::FILE *stream) { fe.trace_stream = stream; }
std::FILE *fe_get_trace_stream() { return fe.trace_stream != nullptr ? fe.trace_stream : stdout; }

void fe_set_trace_hook(FeTraceHook hook) { fe.trace_hook = hook; }

std::FILE *fe_begin_trace() {
    std::FILE *trace = fe_get_trace_stream();
    if (fe.trace_hook != nullptr) fe.trace_hook(trace);
    return trace;
}

void *fe_alloc(std::size_t n, std::size_t m) {
    void *memory = std::calloc(n == 0 ? 1 : n, m == 0 ? 1 : m);
    if (memory == nullptr) {
        std::fputs(catalogue_text(MSG_5NOMEMORY), stderr);
        std::fputc('\n', stderr);
        fe_max_severity = SEVERITY_SYSTEM;
        fe_internal_error();
    }
    return memory;
}

const char *fe_date_text() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    // The asctime layout: "Wed Jun 30 21:49:08 1993", the day in two positions.
    std::strftime(fe.date_text, sizeof fe.date_text, "%a %b %e %H:%M:%S %Y", &local);
    return fe.date_text;
}

void fe_print_char(std::FILE *stream, int c) {
    // Bytes from 128 up are shown with their signed value, as a plain char holds them.
    int value = static_cast<signed char>(static_cast<unsigned char>(c));
    switch (value) {
    case 0: std::fputs("<0>", stream); return;
    case 3: std::fputs("<EOF>", stream); return;
    case '\n': std::fputs("<NL>", stream); return;
    case '\f': std::fputs("<FF>", stream); return;
    case '\t': std::fputc('\t', stream); return;
    default: break;
    }
    if (value >= ' ' && value != 127)
        std::fputc(value, stream);
    else
        std::fprintf(stream, "<%d>", value);
}
