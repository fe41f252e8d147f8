// What the preprocessor's files share: the records kept in its pools (macros, expansion frames,
// actual-argument nodes, file inclusion and conditional records), the token, stack and table
// operations on them, and the scanning loop's output and text helpers.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/types.h"
#include "lexer/lexer.h"
#include "lexer/token.h"
#include "pp/pp.h"

// ---- In pp_tables.cpp -----------------------------------------------------------------------

enum PpPoolIndex : int {
#define PP_POOL(index, ident, name, record, blocks) ident = index,
#include "pp/pp_pools.def"
#undef PP_POOL
    PP_POOL_COUNT
};

enum PpMacroState : std::uint8_t { NOT_PROCESSING_BODY = 0, PROCESSING_BODY = 1 };

// The most formal parameters a macro may have: their numbers must fit n_formals, the 16-bit
// formal_index cache of body tokens and the low 16 bits of a stringize token's value.
inline constexpr int PP_MAX_FORMALS = 32767;

// A macro definition, found through the info word of its name in the text table.
struct PpMacro {
    TextHandle name;         // TEXT_NULL for the pseudo-macro of an actual argument
    Position position;       // of the definition; all zero for predefined and pseudo-macros
    std::int32_t reserved;   // set to 0 by every constructor and read by nobody
    std::int16_t n_formals;  // -1 object-like, 0 function-like with an empty list, else the count
                             // (at most PP_MAX_FORMALS)
    Token *formals;          // the formal parameter names
    Token *body;             // the replacement list
    std::uint8_t predefined; // 1 for the macros the program defines itself
    std::uint8_t error_in_defn; // 1 when the definition had an error
    PpMacroState state;         // PROCESSING_BODY while its body is being expanded
    std::uint8_t variadic;      // 1 when the list ended in `...`: its last formal, __VA_ARGS__,
                                // takes the rest of the arguments, commas included
    // Whether a use may be written by the direct expansion (pp_macro_direct.cpp), as found when
    // the macro table was at change number `direct_checked` (0: never looked at), and where its
    // written form is kept there.
    std::uint8_t direct;
    std::uint32_t direct_checked;
    std::uint32_t direct_form;
};

// A node of the list of actual arguments of one invocation. An argument collected inside an
// expansion shares the tokens after its first with the list it was read from, when they came
// from it in a row: it then ends before `end` instead of at a null next (calls nested in
// arguments would otherwise copy the inner text once per level).
struct PpActual {
    PpActual *next;
    Token *tokens; // the first token of the argument
    Token *end;    // the token after its last one, null for a list of its own
    // 1 when no token of the argument names a macro (set for arguments read from the source):
    // expanding it would give it back unchanged, so it is substituted as it stands.
    std::uint8_t plain;
};

// One macro invocation being expanded.
struct PpFrame {
    PpMacro *macro;
    Token *body_cursor;    // the next body token to deliver; null when the body is used up
    Token *body_end;       // the body ends here too (an argument's `end`); null for others
    PpActual *actuals;     // null for object-like macros
    Token *actuals_cursor; // the next token of an actual argument being delivered
    Token *actuals_end;    // where that argument ends (its `end`)
    PpFrame *top_of_stack; // innermost frame of a nested expansion running inside this one
    PpFrame *previous;     // the frame below on the expansion stack
};

// One open source file, newest on top.
struct PpFileRecord {
    TextHandle filename;      // the name in double quotes, as markers and __FILE__ show it
    TextHandle actual_file;   // the name as it was passed in
    std::int32_t line_offset; // added to the physical line to give the reported one (#line)
    std::uint8_t fixed_form;  // 1 when the file is read as fixed-form Fortran (pp_form_for)
    PpFileRecord *previous;
};

enum PpLocalState : std::uint8_t {
    HAVE_NOT_SEEN_TRUE_CONDITION = 0,
    SAW_TRUE_CONDITION_BUT_NOT_ELSE = 1,
    SAW_ELSE = 2,
};

// One open #if group, newest on top.
struct PpConditional {
    std::uint8_t pp_include; // 1 while text of the current group is being included
    PpLocalState local_state;
    Position position; // of the directive that opened the group
    std::uint8_t first_in_file;
    PpConditional *previous;
};

// Opens the seven pools in their order and makes the shared null and finished tokens.
void pp_tables_open();
// Closes the seven pools (nothing when they are not open); every record and token is gone.
void pp_tables_close();
// True between pp_tables_open and pp_tables_close.
bool pp_tables_are_open();
// Empties "aux_token_table" and "actuals_list" together, when an outermost expansion starts.
void pp_reset_expansion_pools();
// Counts a token an expansion on a directive line delivered against the limit of one
// expansion's size; past it, "macro expansion too large" ends the run.
void pp_count_expansion_token();
// Counts an argument token read again and shared instead of copied against the limit of the
// work one expansion may do; past it, "macro expansion too large" ends the run.
void pp_count_shared_token();
// The pool of the given index, for checks and statistics.
PoolId pp_pool(PpPoolIndex index);

// The shared tokens of kind TOKEN_NULL and TOKEN_FINISHED; never freed, never changed.
Token *pp_null_token();
Token *pp_finished_token();

// Token operations. "aux" tokens come from "aux_token_table", the others from "token_table".
// new_token and new_aux_token set kind and value (16 bits for TOKEN_STRINGIZE and
// TOKEN_CHARIZE); the caller sets spaced and formal_index.
Token *pp_new_token(TokenKind kind, std::int32_t value);
Token *pp_new_aux_token(TokenKind kind, std::int32_t value);
// A token with the value set and formal_index 0; the caller sets kind and spaced.
Token *pp_new_value_token(std::int32_t value);
Token *pp_new_aux_value_token(std::int32_t value);
// An aux token with formal_index 0; the caller sets kind, value and spaced.
Token *pp_new_aux_blank_token();
// An aux TOKEN_STRINGCONST; the caller sets value and spaced.
Token *pp_new_aux_string_token();
// An aux copy of every field of `token`, next included.
Token *pp_copy_token(const Token *token);
// An aux token with the kind, value, spaced and no_expand of `token`, formal_index 0, no next.
Token *pp_copy_token_fresh(const Token *token);
// `token` itself when it is marked no_expand, else an aux copy so marked.
Token *pp_no_expand_token(Token *token);
// With `flag` 1, replaces the token in `place` (unless TOKEN_NULL) by an aux copy marked spaced;
// a `##` marker's operand after it is copied and marked too.
void pp_mark_spaced(Token **place, std::uint8_t flag);
// Return the token's block to its pool and give back its next; null gives null.
Token *pp_free_token(Token *token);
Token *pp_free_aux_token(Token *token);
// Reverses a list in place and returns its new head.
Token *pp_reverse_tokens(Token *list);

// The anchors of the three stacks.
PpFileRecord *pp_file_top();
PpConditional *pp_conditional_top();
// The cell holding the top frame of the main expansion context; null when none is running.
PpFrame **pp_expansion_context();

// Pushes a conditional record whose pp_include is copied from the one below (1 on an empty
// stack) and first_in_file 0; the caller sets the rest.
PpConditional *pp_push_conditional();
// Removes and frees the top conditional record.
void pp_pop_conditional();

// An expansion frame for `macro`, every other field null.
PpFrame *pp_new_frame(PpMacro *macro);
// An actual-argument node with next, tokens and end null.
PpActual *pp_new_actual();
// The token list of the n-th node from the head (n = 1 is the head); null past the end.
Token *pp_nth_actual(PpActual *list, int n);
// The n-th argument's record (1-based), nullptr when the list is shorter.
PpActual *pp_nth_actual_record(PpActual *list, int n);

// The definition of `name`, or null when it names no macro.
PpMacro *pp_lookup_macro(TextHandle name);
// False when no macro of this name was defined since the tables were opened: a filter of the
// names ever defined, asked before the text table (true may still mean no macro).
bool pp_may_name_macro(const unsigned char *text, std::uint32_t length);
// The handle of the name `text` when it names a macro, TEXT_NULL otherwise (the filter first,
// then the text table: a name never interned cannot, every definition interns its name).
TextHandle pp_macro_name_handle(const unsigned char *text, std::uint32_t length);
// The first of the two filters, a few instructions for the names of every source line under -m:
// entry `c` of the table has bit pp_name_shape_bit(n) set when a macro whose name starts with
// byte `c` and is `n` bytes long was defined since the tables were opened.
const std::uint32_t *pp_macro_name_shapes();
inline std::uint32_t pp_name_shape_bit(std::uint32_t length) {
    return std::uint32_t{1} << (length < 31 ? length : 31);
}
inline bool pp_shape_may_name_macro(const std::uint32_t *shapes, const unsigned char *text,
                                    std::uint32_t length) {
    return (shapes[text[0]] & pp_name_shape_bit(length)) != 0;
}
// The second filter: one bit per hash of every macro name defined (PP_NAME_FILTER_WORDS words).
inline constexpr std::uint32_t PP_NAME_FILTER_WORDS = 256;
// The filter bit of a name, from its length and its first and last four bytes (three bytes of a
// shorter name): a fixed handful of loads whatever the length, since every name of a line is
// looked up under -m. Names that differ only in the middle share a bit, which costs a lookup.
inline std::uint32_t pp_name_filter_bit(const unsigned char *text, std::uint32_t length) {
    std::uint32_t head, tail;
    if (length >= 4) {
        std::memcpy(&head, text, 4);
        std::memcpy(&tail, text + length - 4, 4);
    } else if (length > 0) {
        head = text[0] | std::uint32_t{text[length / 2]} << 8;
        tail = text[length - 1];
    } else {
        return 0;
    }
    std::uint32_t h = head * 0x9E3779B1u ^ (tail + length) * 0x85EBCA77u;
    h ^= h >> 15;
    return (h * 0xC2B2AE3Du) >> (32 - 14); // 14 bits: PP_NAME_FILTER_WORDS * 64 of them
}
static_assert(PP_NAME_FILTER_WORDS * 64 == 1U << 14, "pp_name_filter_bit keeps the top 14 bits");
// Both filters of a set of names (the macro table's, or a copy of it): `name` added, asked.
inline void pp_filters_add(std::uint32_t *shapes, std::uint64_t *filter, const unsigned char *text,
                           std::uint32_t length) {
    std::uint32_t bit = pp_name_filter_bit(text, length);
    filter[bit / 64] |= std::uint64_t{1} << (bit % 64);
    if (length > 0) shapes[text[0]] |= pp_name_shape_bit(length);
}
inline bool pp_filters_may_name(const std::uint32_t *shapes, const std::uint64_t *filter,
                                const unsigned char *text, std::uint32_t length) {
    if (!pp_shape_may_name_macro(shapes, text, length)) return false;
    std::uint32_t bit = pp_name_filter_bit(text, length);
    return (filter[bit / 64] >> (bit % 64) & 1) != 0;
}
// Copies both filters of the macro table (256 and PP_NAME_FILTER_WORDS words).
void pp_copy_name_filters(std::uint32_t *shapes, std::uint64_t *filter);
// The number of the macro table's latest change: a definition made, replaced or removed.
std::uint32_t pp_macro_table_changes();
// Counts a change to the table (the definition readers call it for a definition they replace in
// its record).
void pp_note_macro_table_change();
// A macro record for `name` defined at `position`, entered in the name's info word (replacing
// what was there); the caller sets n_formals and error_in_defn.
PpMacro *pp_new_macro(TextHandle name, Position position);
// An object-like macro the program defines itself, entered like pp_new_macro.
PpMacro *pp_new_predefined_macro(TextHandle name);
// A nameless macro record entered nowhere; the caller fills the body.
PpMacro *pp_new_pseudo_macro();
// Enters the unattached record `macro` (a saved definition) as the definition of `name`,
// which has none.
void pp_install_macro(TextHandle name, PpMacro *macro);
// Frees the record of `name` (not its token lists) and clears the info word; nothing when
// `name` is no macro.
void pp_delete_macro(TextHandle name);
// A frame expanding the n-th actual's token list through a pseudo-macro, with body_cursor at
// its first token, whose spaced flag is set to `spaced` in place, and body_end at its end.
PpFrame *pp_new_argument_frame(PpActual *actuals, int n, std::uint8_t spaced);

// ---- In pp_messages.cpp ---------------------------------------------------------------------

enum PpMessage : std::uint8_t {
#define PP_MESSAGE(ident, severity, text) ident,
#include "pp/pp_messages.def"
#undef PP_MESSAGE
    PP_MESSAGE_COUNT
};

// Reports `message` at `position` (POSITION_NULL for none) with its own severity.
void pp_report(PpMessage message, Position position);
// The same with another severity (the directive diagnostic rules choose one).
void pp_report_severity(PpMessage message, Position position, Severity severity);
// The text of `message`, for tests and documentation.
const char *pp_message_text(PpMessage message);

// ---- In pp_text.cpp -------------------------------------------------------------------------

// Set by #define at the start of its line, cleared when pp_skip_directive_rest or
// pp_check_directive_tail starts: continuations are taken out of lexemes only while it is 1.
extern std::uint8_t pp_continuation_flag;

// Removes continuations (a backslash and the byte after it, a `?` and the three after it) when
// the continuation flag is set; `text` and `length` then describe a copy in the scratch buffer.
void pp_strip_continuations(const unsigned char **text, std::uint32_t *length);
// Replaces the nine trigraphs; the result is in the scratch buffer.
void pp_replace_trigraphs(const unsigned char **text, std::uint32_t *length);
// Trigraphs (under string_trigraphs), then every backslash-newline dropped; in the scratch buffer.
void pp_rewrite_continued_literal(const unsigned char **text, std::uint32_t *length);
// Applies dollar_ident to a TOKEN_IDENTIFIER_DOL lexeme: the whole lexeme is an identifier, or
// it is cut before its first `$` (the input resumes there), or a leading `$` is an ERROR_TOKEN of
// length 1 (the input resumes after it). Sets token->kind and *length.
void pp_dollar_rule(const unsigned char *text, std::uint32_t *length, CurrentToken *token);
// True when `text` is not empty and holds only letters, digits and `_`.
bool pp_is_identifier_text(const char *text);
// True when the first `count` bytes are decimal digits (count < 1 gives true).
bool pp_is_digits(const char *text, int count);
// Under pushd_include, sets slot 0 of include_dirs to the current stream's directory.
void pp_restore_current_dir();
// The scratch buffer's size now: it starts at 65536 bytes and grows to hold a longer lexeme.
std::uint32_t pp_scratch_capacity();
// Releases a grown scratch buffer (the preprocessor's finish).
void pp_release_scratch();
// Forgets a larger scratch buffer without freeing it and clears the continuation flag. Part of
// pp_reset.
void pp_text_reset();

// A converted lexeme's text: in the stream, the scratch buffer or the spelling table.
struct PpLexeme {
    const unsigned char *text;
    std::uint32_t length;
};
// Converts the token just lexed without interning: folds the _BNL kinds, applies the dollar
// rule, rewrites continued or trigraph texts. Kinds with a fixed spelling get it as their value.
PpLexeme pp_convert_lexeme(CurrentToken *token);
// True for the converted kinds whose value is their own source text (not a fixed spelling).
bool pp_has_source_text(TokenKind kind);
// pp_convert_lexeme, then token->value set to the interned text (or the spelling).
void pp_convert_token(CurrentToken *token);
// pp_convert_lexeme for a token that only passes through an expansion: a name already in the
// text table (it may be a macro, a keyword or a formal) takes its handle; any other name,
// number or literal gets a passing text, so that it does not fill the table.
void pp_convert_passing_token(CurrentToken *token);
// The value pp_convert_passing_token gives a name of `length` bytes at `text`.
TextHandle pp_passing_name(const char *text, std::uint32_t length);

// ---- In pp_plain_line.cpp ------------------------------------------------------------------

// What pp_copy_plain_text did at the read point.
enum PpPlainLine : std::uint8_t {
    PP_PLAIN_NONE,  // nothing: the text needs the lexer (nothing was read or written)
    PP_PLAIN_BLANK, // nothing but blanks up to the newline, written by the newline rule
    PP_PLAIN_TEXT,  // text up to the newline, written in one piece with the newline
    PP_PLAIN_PART,  // text up to a blank before a macro name (-m): the lexer goes on there
};
// When no lexer trace is on: writes the bytes from the read point to the newline, and the
// newline, in one piece and moves the read point past the newline, provided they are all in the
// read buffer and every token among them would be written as it stands. Under -m a macro name
// among them ends the piece at the last blank before it (PP_PLAIN_PART). pp_copy_plain_line
// starts at the start of a line (and may refill the buffer first) and goes on over the lines
// after it while they are in the buffer and can be copied, giving what the last one gave;
// pp_copy_plain_rest starts between two tokens of a source line, with no expansion running. A
// line with text copied whole clears first_in_file, as its first token would.
PpPlainLine pp_copy_plain_line();
PpPlainLine pp_copy_plain_rest();
// True once, after the lexer has read on over the end of the buffered data where a copy had
// stopped in mid-line and the read point is still in mid-line: the rest of that line may be
// copied (pp_copy_plain_rest).
bool pp_plain_seam_passed();
// After the copy of a line's rest was refused because its first token may need a blank before
// it (the output's spacing rule after an expansion), true once the lexer has read that token
// and stands further on the same line: the rest may be copied.
bool pp_plain_rest_after_token();
// The handle of the macro name at `text` when the copy stopped before that very name (same
// place in the read buffer, same length) and nothing has asked since; TEXT_NULL otherwise. The
// scanning loop asks for each name it reads, so the name is not looked up a second time.
TextHandle pp_take_noted_name(const unsigned char *text, std::uint32_t length);
// The length of the macro name noted at `text` (pp_take_noted_name), 0 when none is noted there.
// Asks nothing away: the scanning loop reads such a name without the lexer.
std::uint32_t pp_noted_name_length(const unsigned char *text);
// Turns the whole-line copy and the reading of simple macro arguments straight from the buffer
// on (the default) or off, so that tests can compare them with the token-by-token reading of
// the same lines; whether they are on; and the number of lines copied whole.
void pp_set_plain_lines(bool enabled);
// Makes the large input files' blocks read ahead carry hints for the copy (where it must stop).
void pp_plain_install_hints();
// A macro name entered in the filters: hints made without it are no longer right.
void pp_plain_note_macro_name(const unsigned char *text, std::uint32_t length);
bool pp_plain_lines_enabled();
std::uint64_t pp_plain_lines_copied();
// How many times the copy walked over the hints of a block read ahead (pp_plain_install_hints).
std::uint64_t pp_plain_hinted_walks();
// The places where the scans that test 16 bytes at once (ordinary text, names) and the
// byte-by-byte scans disagree, over every class table, byte value and place in a load: 0 when
// they agree.
std::uint32_t pp_plain_scan_mismatches();
// Turns the hint maker's 32-byte compares on (the default, where the processor has them) or
// off, so that tests can compare the hints of both; true when the processor has them.
bool pp_set_wide_hints(bool on);
// The inputs on which the hints of the 16-byte and the 32-byte compares differ: each byte value
// at each place of two loads, and random names and stops of every length up to 300, under each
// set of stops. 0 when they agree, and where the processor lacks the 32-byte compares.
std::uint32_t pp_plain_hint_mismatches();

// ---- In pp_output.cpp -----------------------------------------------------------------------

// Writes the token read from the input: the line marker when its line differs from the output
// line, then the text of its value; the last output kind becomes its kind.
void pp_write_token(const CurrentToken *token);
// pp_write_token for a converted lexeme that was not interned (its value is left alone).
void pp_write_lexeme(const CurrentToken *token, PpLexeme lexeme);
// Writes a token taken out of an expansion: a marker (and no blank) when its line differs from
// the output line, else a blank when `spaced` is 1 or -g asks for one; then its text.
void pp_write_expanded_token(const CurrentToken *token, std::uint8_t spaced);
// pp_write_expanded_token for tokens at `position` written as `text`: the first one of kind
// `first` with the blank flag `spaced`, the last one of kind `last`, any blanks between them
// already in the text.
void pp_write_expanded_text(Position position, TokenKind first, std::uint8_t spaced,
                            const char *text, std::uint32_t length, TokenKind last);
// A run of an expansion's text after its first written token: its text, and the kinds of its
// first and last tokens and the blank flag of its first, as pp_write_expanded_text takes them.
struct PpExpandedRun {
    const char *text;
    std::uint32_t length;
    TokenKind first;
    TokenKind last;
    std::uint8_t spaced;
};
// Writes the `count` runs in turn after an expansion's first token: each takes its own blank
// (its flag, or the spacing rules), as the first settled the marker and the joining.
void pp_write_expanded_runs(const PpExpandedRun *runs, std::uint32_t count);
// The newline rule: "\n" and one more output line, unless -n and a newline was written last.
void pp_write_newline();
// White space read from the input (the current lexeme), byte for byte after the marker check.
void pp_write_white_space(const CurrentToken *token);
// One blank unless a blank or a newline was written last.
void pp_write_separator();
// The end of an expansion: pp_write_separator, or under fortran_spacing no blank now but one
// before the next token written only when the -g table separates the two kinds.
void pp_write_expansion_end();
// A macro is being expanded on the current output line: under --fold the line is measured
// when it ends.
void pp_note_expansion();
// A macro call's arguments were continued over `&` lines up to source line `line`: what comes
// from those lines is written on the current output line, and a marker follows the next newline.
void pp_output_merge_lines(std::uint32_t line);
// True while that blank is still owed: the next text's first token must be written as a token.
bool pp_output_spacing_pending();
// A removed comment was just read: the next token joins the text before it (no blank owed
// from an expansion, none from the -g table).
void pp_output_join();
// One blank whatever was written last.
void pp_write_blank();
// The marker check for text about to be written for a token or white space at `position`.
void pp_marker_check(Position position, bool white_space);
// The text of a Fortran comment, written as it is; the last output kind becomes TOKEN_COMMENT.
void pp_write_comment_text(const char *bytes, std::uint32_t length);
// Bytes written as they are; the last output kind is left alone (a comment's own text).
void pp_write_bytes(const char *bytes, std::uint32_t length);
void pp_write_char(char c);
// Writes one whole source line that needs no token-by-token treatment (`length` bytes without
// its trailing blanks and newline), exactly as the tokens, white space and newline of the line
// would be written: the marker check (white-space form when it starts with a blank or tab),
// the bytes, then the newline rule. An empty text is the newline rule alone.
void pp_write_plain_line(Position position, const unsigned char *text, std::uint32_t length);
// Writes `lines` whole source lines that follow one another, the first at `position`: `length`
// bytes, each line with its newline and none with blanks before it. The same bytes as
// pp_write_plain_line writes for each in turn: only the first can need a marker, since each
// line written makes the next one the output's current line.
void pp_write_plain_lines(Position position, const unsigned char *text, std::uint32_t length,
                          std::uint32_t lines);
// Writes the text of whole tokens and white space, as pp_write_plain_line writes a line but
// without the newline; `last` is the kind of the text's last token (white space when it ends
// in a blank).
void pp_write_plain_text(Position position, const unsigned char *text, std::uint32_t length,
                         TokenKind last = TOKEN_HORIZ_WHITESPACE);
// The kind of the last thing written (FIRST_TOKEN before anything).
TokenKind pp_last_output_kind();
// Forces a marker before the next token (an included file was entered or has ended).
void pp_force_marker();
// The source line the current output line belongs to.
std::uint32_t pp_output_line();
// While suppressed, nothing reaches the output stream (the -D/-U definitions run).
void pp_output_suppress(bool suppress);
// Hands the buffered output to the output stream.
void pp_output_flush();
// Releases the spacing table.
void pp_output_finish();
// Forgets the buffered text and the spacing table without writing or freeing, and counts the
// fatal-exit flush as not installed (the front end forgot its hooks). Part of pp_reset.
void pp_output_reset();
// True when -g separates `last` from `next` (only meaningful once pp_output_init has run with -g).
bool pp_spacing_needed(TokenKind last, TokenKind next);

// ---- In pp_comments.cpp ---------------------------------------------------------------------

// After `/*`: copies the comment to the output (or one blank under -noC). True at its end,
// false at the end of input ("end of file reached inside a comment", the end byte left unread).
bool pp_copy_comment();
// After `//`: copies the comment up to its newline (or one blank under -noC) and consumes the
// newline. True when a newline ended it, false at the end of input (left unread).
bool pp_copy_line_comment();
// pp_copy_comment without any output (comments inside directive lines).
bool pp_skip_directive_comment();
// After `//` on a directive line where `//` starts comments: reads through the newline, writing
// nothing. False at the end of input (left unread).
bool pp_skip_line_comment();
// Reads the rest of a directive line through its newline, silently but for block comments,
// which are copied like ordinary text. False at the end of input (left unread).
bool pp_skip_directive_rest();
// Reads the rest of a directive line that should be empty, through its newline; a leftover
// token before fixed_line_length draws "illegal token on pp directive line".
void pp_check_directive_end();
// Reads the rest of a directive line up to (not including) its newline, allowing white space,
// comments and macros that expand to nothing; reports at most one problem per line.
void pp_check_directive_tail();
// Reads the rest of a directive line through its newline without a word or any output, comments
// included; at the end of input the end byte is left unread.
void pp_discard_directive_line();

// ---- In pp_fortran.cpp ---------------------------------------------------------------------

// The form of the file `name` included by a file of form `includer_fixed` (the main file: 0):
// 1 for fixed form, 0 for free form. --form= decides for every file; otherwise the extension
// (.f .for .ftn .f77 .fpp fixed, .f90 .f95 .f03 .f08 .f18 .f23 free, either case), and any
// other file takes the form of the file that includes it.
std::uint8_t pp_form_for(const char *name, std::uint8_t includer_fixed);
// True when the current file is read as fixed form.
bool pp_fixed_form();
// The rule set for code and comment lines, and for directive lines (fortran_lines chooses).
LexRuleSet pp_code_rule_set();
LexRuleSet pp_directive_rule_set();
// Whether the bytes after a comment's `!` (or fixed-form column-1 letter) make it a directive
// sentinel (`$` and a blank, or `$omp`, `$acc`, `dir$`, `dec$`, `gcc$` in any case and not
// followed by a letter, digit, `_` or `$`): 1 yes, 0 no,
// -1 when a 0 byte (the end of the buffered data) comes before the answer.
int pp_sentinel_at(const unsigned char *text);
// After a `!` or `!=` token of a code line under fortran_comments: true when it starts a
// comment (not a sentinel, not the continuation mark in column 6 of a fixed-form line).
bool pp_bang_starts_comment(const CurrentToken *token);
// Whether the fixed-form line starting at `line` is a comment line (`C`, `c`, `*` or `!` in
// column 1 and no sentinel after it): 1 yes, 0 no, -1 when the buffered data ends before the
// answer.
int pp_fixed_comment_line_at(const unsigned char *line);
// At the start of a line of a fixed-form file under fortran_comments: true when the line is a
// comment line (pp_fixed_comment_line_at). Reads nothing.
bool pp_comment_line_here();
// The rest of a Fortran comment up to its newline (left unread), written unchanged when
// `write` is set. False when the input ends first.
bool pp_copy_fortran_comment(bool write);

// ---- In pp_fold.cpp ------------------------------------------------------------------------

// Receives the bytes of a folded line in order.
using PpFoldSink = void (*)(void *context, const char *bytes, std::uint32_t length);
// Folds the output line `s` (`n` bytes, no newline) of a fixed-form (`fixed`) or free-form file
// whose lines may hold `limit` columns: when its code (a trailing `!` comment not counted) is
// longer, writes the folded line through `emit` (newlines between the pieces, none after the
// last; a trailing comment that would reach past the limit on a line of its own at the end)
// and returns the number of lines added. Returns 0, writing nothing, for a line that fits
// or is left alone (comment, sentinel and marker lines, fixed-form lines with a tab).
std::uint32_t pp_fold_line(const char *s, std::uint32_t n, bool fixed, std::int32_t limit,
                           PpFoldSink emit, void *context);

// ---- In pp_scan.cpp ------------------------------------------------------------------------

// After a function-like macro's name: passes over white space, newlines, backslash-newlines and
// comments. True when the next token is `(` (consumed); otherwise the input goes back to just
// after the name. At the end of input inside a comment the end byte is left unread.
bool pp_lookahead_lparen();
// The next significant token for the collection of macro arguments, converted as passing
// (pp_convert_passing_token: valid until the next expansion starts); `#`, `##` and `??/` come back
// as ERROR_TOKEN with their text. *spaced is 1 when white space, a newline or a comment came before
// it. TOKEN_END_OF_FILE at the end of input, which is left unread.
TokenKind pp_next_arg_token(CurrentToken *token, TextHandle *value, std::uint8_t *spaced);
// The commonest argument tokens, a name, a comma or a parenthesis after blanks on the line at
// hand, read straight from the buffer: the kind and position the lexer would give (the value is
// left alone), the mark set at the token as the lexer sets it, and *spaced set to 1 when blanks
// came before it. False, with nothing read, for anything else (the lexer reads it then): a name
// that runs into any other byte (a quote, `$`, a continuation, the end of the buffered data), a
// line past the widest column, the lexer's traces, the tests that read every token through the
// lexer.
bool pp_simple_arg_token(CurrentToken *token, std::uint8_t *spaced);
// An included file has ended: back to the including file, its directory and file record, with
// the newline of the #include line written and a marker due before the next text.
void pp_leave_included_file();

// ---- In pp_directives.cpp -------------------------------------------------------------------

enum PpDirectiveResult : std::uint8_t {
    PP_DIRECTIVE_DONE,        // the line has been read through its newline (or to the end)
    PP_DIRECTIVE_END_OF_FILE, // the input ended while the name was sought
};

// The dispatcher, called with the lexer just after the `#` that begins a directive line: reads
// the name, reports a missing or unknown one and runs the handler, which consumes the line.
PpDirectiveResult pp_directive();

// ---- In pp_expr.cpp -------------------------------------------------------------------------

// Evaluates the #if/#elif expression on the rest of the directive line, the lexer being just
// after the directive name: 1 when its value is not zero, else 0. Faults are warnings and the
// evaluation always completes; the line end is left unread for the caller.
int pp_evaluate_condition();
// Puts the evaluator's state back to its start-up value. Part of pp_reset.
void pp_expr_reset();

// ---- In pp_conditionals.cpp -----------------------------------------------------------------

// The conditional directives, called with the lexer just after the directive's name, by the
// dispatcher or while a group is skipped. Each reads its line through the newline (or stops at
// the end of input) and, when its group turns false, skips lines until it is true or closed.
// `name` is the position of the directive's name, where misplaced ones are reported.
void pp_if();
void pp_ifdef();
void pp_ifndef();
void pp_elif(Position name);
void pp_else(Position name);
void pp_endif(Position name);
// #error and #warning: the rest of the line (at most 1024 characters) becomes a message of
// `severity` at `name` (#error is a warning unless error_is_error asks for an error).
void pp_diagnostic_directive(Position name, Severity severity);
// Skips the rest of the current line and then whole lines, acting only on conditional
// directives (and reading over #include operands), until the top group is included again or
// the stack is empty. Groups may run past the end of an included file.
void pp_skip_group();
// Clears the state of a skip or an #error left by a run that ended inside one. Part of pp_reset.
void pp_conditionals_reset();

// ---- In pp_macro_define.cpp -----------------------------------------------------------------

// #define and #undef, called with the lexer just after the directive name; each reads its
// line through the newline (or stops before the end of input).
void pp_define_directive();
void pp_undef_directive();
// The next significant token of a directive line, converted and interned; white space and
// comments set *spaced, an end of input inside a comment sets *error. Line ends come back as
// TOKEN_NEWLINE (a `//` comment included) with the value TEXT_NULL.
TokenKind pp_next_directive_token(Position *position, TextHandle *value, std::uint8_t *spaced,
                                  std::uint8_t *error);
// The number of the formal `name` of `macro` (1 for the first of the source), 0 when none.
int pp_is_formal(TextHandle name, const PpMacro *macro);
// The number of the formal of `macro` that body token `b` names, 0 for none; kept in the
// token's formal_index once known.
inline int pp_formal_number(const PpMacro *macro, Token *b) {
    if (b->kind != TOKEN_IDENTIFIER || macro->n_formals <= 0) return 0;
    if (b->formal_index < 0)
        b->formal_index =
            static_cast<std::int16_t>(pp_is_formal(static_cast<TextHandle>(b->value), macro));
    return b->formal_index;
}
// Appends a "token_table" token (formal_index -1) to the list head/tail and returns it.
Token *pp_append_body_token(Token **head, Token **tail, TokenKind kind, std::int32_t value,
                            std::uint8_t spaced);
// #pragma push_macro("name"): saves a copy of the definition of `name` (or that it has none)
// on the name's own stack. #pragma pop_macro("name"): the newest saved state replaces the
// current one (a saved "none" undefines the name); nothing when the stack is empty. Names the
// program reserves are left alone.
void pp_push_macro(TextHandle name);
void pp_pop_macro(TextHandle name);
// Forgets the definition reader's buffers and the saved definitions (the preprocessor's start-up).
void pp_macro_define_reset();

// ---- In pp_macro_expand.cpp -----------------------------------------------------------------

// The decimal digits of `value`, written backwards so that they end at `end`; returns where
// they start. A 64-bit value takes at most 20 digits and a sign.
char *pp_format_number(std::int64_t value, char *end);

// The next token of the expansion in `context`, fully expanded; the finished token once the
// context has run empty (the cell is then null).
Token *pp_expand_next(PpFrame **context);
// pp_expand_next on the main context for an expansion on a directive line: the token counts
// against the limit of one expansion's size.
Token *pp_expand_directive_next();
// After a function-like name: the `(` that follows (consumed), another token the caller must
// push back, or null when nothing follows (the main context then looks at the source).
Token *pp_find_lparen(PpFrame **context);
// Makes `token` the next one the context delivers.
void pp_push_back_token(PpFrame **context, Token *token);
// The arguments of an invocation met inside an expansion; the frame is not on `context` yet.
void pp_collect_actuals(PpFrame *frame, PpFrame **context);
// The arguments of an invocation in the source, read after its `(`.
void pp_collect_source_actuals(PpFrame *frame);
// `a ## b`: a new aux token; ERROR_TOKEN with both texts when they form no valid token.
Token *pp_paste_tokens(const Token *a, const Token *b);
// __DATE__, __TIME__, __FILE__, __LINE__ and __STDC__ (the start-up).
void pp_define_predefined_macros();
// Starts the outermost expansion of `macro`, called at `invocation` in the source; for a
// function-like macro its `(` has been consumed and the arguments are read here.
void pp_start_expansion(PpMacro *macro, Position invocation);
// Writes the running expansion's tokens; true when a significant token was written (it is left
// in `token`), false when the expansion is used up.
bool pp_drain_expansion(CurrentToken *token);
// On a directive line after the name of `macro` (the #if, #include and #line operands): starts
// its expansion on the main context (emptying the short-lived token pools first), the arguments
// read from the rest of the line only. False
// when a function-like name has no `(` after it (nothing is started). Pull the tokens with
// pp_expand_directive_next(), then call pp_end_directive_expansion.
bool pp_start_directive_expansion(PpMacro *macro, Position invocation);
// pp_start_directive_expansion for a function-like macro whose arguments the caller collected
// from the line itself (the #if evaluator, whose collector has messages of its own) into the
// pools it emptied first.
void pp_start_directive_call(PpMacro *macro, PpActual *actuals, Position invocation);
// Abandons what is left of a directive's expansion; look-aheads cross line ends again.
void pp_end_directive_expansion();
// On a directive line after the name of `macro`: true when its invocation expands to nothing.
// The tokens of the invocation are consumed either way (only up to the end of the line).
bool pp_expands_to_nothing(PpMacro *macro, Position invocation);
// Forgets the expansion state (the preprocessor's start-up).
void pp_macro_expand_reset();

// ---- In pp_macro_direct.cpp -----------------------------------------------------------------

// In a code line, after the name of `macro` called at `invocation` (and, for a function-like
// macro, after its `(`): writes the expansion at once, followed by its end (the blank or owed
// blank of pp_write_expansion_end), when the frame walk would give the same tokens and blanks
// without any help: a body of plain tokens whose names are formals, no macros or object-like
// macros of the same sort, and arguments on the line at hand that name no macro. True when
// written, the input read through the `)`; false with nothing read or written.
bool pp_expand_directly(PpMacro *macro, Position invocation);
// The expansions written by pp_expand_directly since the start of the process.
std::uint64_t pp_direct_expansions();
// Forgets the written forms kept for the definitions (the preprocessor's start-up).
void pp_macro_direct_reset();

// ---- In pp_include.cpp ----------------------------------------------------------------------

enum PpGuardKind : std::uint8_t { PP_GUARD_NONE = 0, PP_GUARD_IFNDEF = 2 };

// What is known of a file's include guard: one entry per stream handle 0 to 65534.
struct PpIncludeGuard {
    std::uint8_t complete; // 1 when the whole file is the guarded group and nothing follows it
    PpGuardKind kind;      // PP_GUARD_IFNDEF once the file's first directive was #ifndef NAME
    TextHandle name;       // the guard macro
    Position position;     // of the guard macro's name in the #ifndef line
};

// The guard entry of `stream` (null for the handle 65535, which has none).
PpIncludeGuard *pp_include_guard(StreamHandle stream);
// Forgets every guard and every file of #pragma once (the scanning loop's start-up).
void pp_include_reset();
// #pragma once: the current file is never entered again by #include (it is found, recorded as
// a dependency, and skipped).
void pp_pragma_once();
// #include in included text, after its name at `where` (the position of every message):
// reads the operand, searches, enters the file or reports; the line is read through its end.
void pp_include_directive(Position where);
// #include in a skipped group: reads over the operand and the rest of the line silently.
void pp_include_skipped();
// The searches for the name in the header-name buffer: the current file's directory (slot 0 of
// include_dirs, quoted names only), the -I list (angled names only with
// user_defined_sys_include), the -S list, then the include environment variable.
void pp_find_quoted(Position where);
void pp_find_angled(Position where);
// The header-name buffer's text (the last name read).
const char *pp_header_name();
// Enters the found file `path` of stream `handle` (or skips it when its complete guard's macro
// is defined). False when it could not be opened, so the search goes on.
bool pp_enter_file(const char *path, StreamHandle handle);
// pp_enter_file for a file whose guard is complete.
bool pp_reenter_guarded(const char *path, StreamHandle handle);
// The expansion of a macro named on an #include or #line line, called at `call`, its arguments
// read from the line only: false when a function-like name has no `(`. Its tokens come one at a
// time, fully expanded, TOKEN_FINISHED at the end (which also ends it); abandoning it drops what
// is left.
bool pp_directive_expansion_start(PpMacro *macro, Position call);
const Token *pp_directive_expansion_next();
void pp_directive_expansion_abandon();

// ---- In pp_line.cpp -------------------------------------------------------------------------

// #line after its name: sets the current file's line offset (and file name) from the operands;
// the line is read through its end.
void pp_line();
// The numeric form `# 12 "name"`: `number` is the number token just read in the place of the
// directive name (its text still marked in the stream).
void pp_numeric_line(CurrentToken *number);
// #pragma after its name: the switch form `(name [=] value)` and the debugging form "c=...";
// anything else is passed over silently. The line is read through its end.
void pp_pragma();
