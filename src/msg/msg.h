// The message service: the catalogue, severities and limits, the position-sorted store of
// reported messages, message text expansion with one-letter parameters, and the printers.
// Nothing is printed when a message is reported; the store is printed at the end of the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/types.h"

// ---- Catalogue and severities -------------------------------------------------------------

const char *msg_severity_name(Severity severity);       // "***BAD SEVERITY***" out of range
const char *msg_severity_upper_name(Severity severity); // likewise
char msg_severity_letter(Severity severity);            // '?' out of range
Severity msg_catalogue_severity(MessageId id);          // the identifier's leading digit
const char *msg_catalogue_mnemonic(MessageId id);       // the identifier without the digit
const char *msg_catalogue_text(MessageId id);

// ---- Reporting and the store --------------------------------------------------------------

// Installs the default line format, the catalogue hook of fe_report and, when none is set, the
// report hook of fe_message and the emergency print hook of the fatal exit; resets the counts
// and the store.
void msg_initialize();

// Reports catalogue entry `id` at `pos` through fe_message, its text expanded with the
// parameters bound before: the catalogue hook behind fe_report.
void msg_report_catalogue(MessageId id, Position pos);

// Files a message: counted against its severity's limit and the total limit (the too-many rule
// ends the run), then stored after every message whose position is not after `pos`.
void msg_report(const char *text, const char *id, Position pos, Severity severity);

// The report hook installed in fe_message: msg_report with the null position for a null pointer.
void msg_report_handler(const char *text, const char *id, const Position *pos, Severity severity);

// Numeric settings: 0 continuation indent (6), 1 line width (72), 2 total message limit (100).
enum MsgLimitKind : int { MSG_LIMIT_INDENT = 0, MSG_LIMIT_WIDTH = 1, MSG_LIMIT_TOTAL = 2 };
int msg_get_limit(int kind);
// Replaces the total limit and the per-severity limits of 100 with `limit`; 0 means no limit.
void msg_set_message_limit(std::int32_t limit);
// Prints the stored messages one per line as "path:line:col: severity: text", each followed by
// its source line and a caret line, instead of the listing.
void msg_set_gnu_diagnostics(bool on);
bool msg_gnu_diagnostics();

// Empties the store; a message that was never printed ends the run with 6MESSAGES.
void msg_clear_messages();

// Forgets the store, the counts, the bound parameters, the listing formats and the exit hook's
// registration without printing or freeing: the blocks go with the general pool (mm_finalize,
// called next). For harnesses that run the program many times in one process.
void msg_reset();

// A stored message, in store order. The printers walk the store through these.
struct MsgStored {
    char *text; // owned copy, "" when none was given
    char *id;   // owned copy, "" when none was given
    Severity severity;
    Position position;
    std::uint8_t printed; // set once written out
    MsgStored *next;
};
MsgStored *msg_first_stored();

// ---- Parameters and expansion -------------------------------------------------------------

// Binds a copy of `text` to the escape letter ('!'..'~'); another letter ends the run.
void msg_param_string(const char *text, int letter);
void msg_param_num(std::int32_t value, int letter); // "%ld" of the value
void msg_param_char(int character, int letter);     // the one-character string

// Expands a template: %x gives the string bound to x, %% a '%', \n and \t line feed and tab.
// The result (at most 999 characters, cut with "...") lives in a buffer the next call reuses.
const char *msg_expand_params(const char *templ);

inline constexpr int MSG_PARAM_FIRST = '!';
inline constexpr int MSG_PARAM_LAST = '~';
inline constexpr std::size_t MSG_EXPANSION_SIZE = 1000;

struct MsgParamSlot {
    char *text;           // owned copy, nullptr when empty
    std::uint32_t length; // bytes, 0 when empty
};
// The whole parameter table and the last expansion, kept aside while the printers bind their own.
struct MsgParamSave {
    MsgParamSlot slots[MSG_PARAM_LAST - MSG_PARAM_FIRST + 1];
    char expansion[MSG_EXPANSION_SIZE];
};
void msg_save_params(MsgParamSave *save); // the table is left empty
void msg_restore_params(const MsgParamSave *save);
void msg_clear_params(); // empties every slot without freeing

// Lays `text` out into `dest` (size bytes) in lines of `width` columns, continuation lines
// starting at column `indent`. Returns the position of the terminating 0.
char *msg_wrap_text(const char *text, char *dest, std::size_t size, int indent, int width);

// ---- Printing -----------------------------------------------------------------------------

// How the printers re-read source lines: the stream layer's reading, lent to them at start-up.
// Without a reader the printers act as when no stream can be opened (no source lines).
struct MsgSourceReader {
    const char *(*stream_name)(StreamHandle stream);      // the full name
    const char *(*stream_base_name)(StreamHandle stream); // the name after its last '/'
    bool (*open)();                // a reading slot of its own above the current stream
    void (*close)();               // back to the stream that was current before open
    void (*set_listing)(bool on);  // while on, what the stream drops is not reported
    bool (*seek)(Position target); // to any position of any stream; false when beyond it
    int (*get_char)();             // the next byte; MSG_SOURCE_END after the last one
};
inline constexpr int MSG_SOURCE_END = 3;
void msg_set_source_reader(const MsgSourceReader *reader);

// Prints the stored messages without source lines (the fallback printer); all = 0 skips those
// already printed.
void msg_print_plain(std::FILE *file, int all);

// Prints the stored messages on `file`, each under its source line with a caret line; all = 0
// skips those already printed. Falls back to msg_print_plain when no stream can be opened.
void msg_print_messages(std::FILE *file, int all);

// Writes the paged listing of the main stream with its messages interleaved to `file`.
void msg_list_file(StreamHandle main_stream, std::FILE *file);

// Replaces a listing format (9: first page-header line, its page number as "%ld"; 10: second
// page-header line) with a copy of `text`; returns the previous copy (the caller's to free).
char *msg_set_format(int kind, const char *text);
