// What the preprocessor's files share: the records kept in its pools (macros, expansion frames,
// actual-argument nodes, file inclusion and conditional records), the token, stack and table
// operations on them, and the scanning loop's output and text helpers.
#pragma once

#include <cstdint>

#include "common/types.h"
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

// A macro definition, found through the info word of its name in the text table.
struct PpMacro {
    TextHandle name;        // TEXT_NULL for the pseudo-macro of an actual argument
    Position position;      // of the definition; all zero for predefined and pseudo-macros
    std::int32_t reserved;  // set to 0 by every constructor and read by nobody
    std::int16_t n_formals; // -1 object-like, 0 function-like with an empty list, else the count
    Token *formals;         // the formal parameter names
    Token *body;            // the replacement list
    std::uint8_t predefined;    // 1 for the macros the program defines itself
    std::uint8_t error_in_defn; // 1 when the definition had an error
    PpMacroState state;         // PROCESSING_BODY while its body is being expanded
};

// A node of the list of actual arguments of one invocation.
struct PpActual {
    PpActual *next;
    Token *tokens; // the first token of the argument
};

// One macro invocation being expanded.
struct PpFrame {
    PpMacro *macro;
    Token *body_cursor;    // the next body token to deliver; null when the body is used up
    PpActual *actuals;     // null for object-like macros
    Token *actuals_cursor; // the next token of an actual argument being delivered
    PpFrame *top_of_stack; // innermost frame of a nested expansion running inside this one
    PpFrame *previous;     // the frame below on the expansion stack
};

// One open source file, newest on top.
struct PpFileRecord {
    TextHandle filename;      // the name in double quotes, as markers and __FILE__ show it
    TextHandle actual_file;   // the name as it was passed in
    std::int32_t line_offset; // added to the physical line to give the reported one (#line)
    PpFileRecord *previous;
};

enum PpLocalState : std::uint8_t {
    HAVE_NOT_SEEN_TRUE_CONDITION = 0,
    SAW_TRUE_CONDITION_BUT_NOT_ELSE = 1,
    SAW_ELSE = 2,
};

// One open #if group, newest on top.
struct PpConditional {
    std::uint8_t pp_include;   // 1 while text of the current group is being included
    PpLocalState local_state;
    Position position;         // of the directive that opened the group
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
// With `flag` 1, replaces the token in `place` (unless TOKEN_NULL) by an aux copy marked spaced.
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

// Removes and frees the top file inclusion record.
void pp_pop_file();
// Pushes a conditional record whose pp_include is copied from the one below (1 on an empty
// stack) and first_in_file 0; the caller sets the rest.
PpConditional *pp_push_conditional();
// Removes and frees the top conditional record.
void pp_pop_conditional();

// An expansion frame for `macro`, every other field null.
PpFrame *pp_new_frame(PpMacro *macro);
// An actual-argument node with next and tokens null.
PpActual *pp_new_actual();
// The token list of the n-th node from the head (n = 1 is the head); null past the end.
Token *pp_nth_actual(PpActual *list, int n);

// The definition of `name`, or null when it names no macro.
PpMacro *pp_lookup_macro(TextHandle name);
// A macro record for `name` defined at `position`, entered in the name's info word (replacing
// what was there); the caller sets n_formals and error_in_defn.
PpMacro *pp_new_macro(TextHandle name, Position position);
// An object-like macro the program defines itself, entered like pp_new_macro.
PpMacro *pp_new_predefined_macro(TextHandle name);
// A nameless macro record entered nowhere; the caller fills the body.
PpMacro *pp_new_pseudo_macro();
// Frees the record of `name` (not its token lists) and clears the info word; nothing when
// `name` is no macro.
void pp_delete_macro(TextHandle name);
// A frame expanding the n-th actual's token list through a pseudo-macro, with body_cursor at
// its first token, whose spaced flag is set to `spaced` in place.
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
