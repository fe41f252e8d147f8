// The preprocessor as the driver sees it: start-up, the scanning loop that turns the input into
// the output text, the end-of-input check, and the file inclusion stack's entry for the main input.
#pragma once

#include <cstdint>
#include <string>

#include "common/types.h"
#include "lexer/token.h"

// 1 while no line of the current file has begun with anything but a directive; read by #ifndef
// to recognise an include guard.
extern std::uint8_t first_in_file;

// The preprocessor's start-up: the rest of the spelling table, its seven pools with the shared
// null and finished tokens and the lexer's first-token rule set. Runs after the lexer's start-up
// and before the command line is read.
void pp_initialize();

// Runs the -D/-U definitions file, the current stream, through the scanning loop up to its end;
// it writes nothing. The command line calls it once the file is written.
void pp_run_definitions();

// A routine told of every file an #include names and finds (also one skipped for its complete
// guard or for #pragma once): its path and whether it was found in a system directory. The
// driver installs its dependency-file recorder; null tells no one. Kept over pp_reset.
using PpIncludeRecorder = void (*)(const char *path, bool system);
void pp_set_include_recorder(PpIncludeRecorder recorder);

// Forgets everything a run left behind, however it ended (the fatal exit included): closes the
// preprocessor's pools and puts its tables, stacks, buffers and flags back to their start-up
// values. For harnesses that run many inputs in one process, before fe_reset and mm_finalize;
// pp_initialize then starts afresh.
void pp_reset();

// Resets the output state (line 0, nothing written yet) and builds the -g spacing table.
// Runs once the command line and the definitions file have been read.
void pp_output_init();

// Handles input up to and including the next significant token, leaving it in `token`; the
// kind TOKEN_END_OF_FILE tells the caller that the input is exhausted. Text that was only
// written is not interned: its value is then TEXT_NULL.
void pp_scan_step(CurrentToken *token);

// pp_scan_step until the end of the input, with the token left as at the end. Unlike single
// steps it may write a plain source line in one piece without lexing its tokens.
void pp_scan_to_end(CurrentToken *token);

// The end of input: one "missing #endif directive" per open group, innermost first, then the
// include directory lists are released and the preprocessor's pools closed. Safe to repeat.
void pp_check_open_groups();

// Pushes a file inclusion record for `name`, the file just opened as the current stream; line
// markers and __FILE__ show the name in double quotes (escaped under esc_filename).
void pp_push_file(const char *name);
// Removes and frees the top file inclusion record.
void pp_pop_file();
// Finds a file the command line names for reading (-include, -imacros): as named, then along
// the search of a quoted #include name (the input's folder, -iquote, -I, -S, the environment
// variable). True with its path in *path; nothing is entered or reported.
bool pp_locate_file(const char *name, std::string *path);
// Enters the file `path` (found already) above the current stream, as an #include of it
// would: its lines are read next, then the current stream's. False when it cannot be opened.
bool pp_include_file(const char *path);

// Gives the program's own __STDC__ the body `value` ("%ld"); a definition of __STDC__ made or
// removed by -D/-U is left as the user asked.
void pp_set_stdc_value(std::int32_t value);
