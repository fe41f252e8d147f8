// The option flags and settings of a run: set once by the command line (the switches among them
// also by `#pragma`) and read by the preprocessor, with the streams it writes to and the include
// directory lists it searches. The command line that sets them is the driver's (driver/options.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/types.h"

// The -ansi column of pp_options.def for a flag that -ansi leaves alone.
inline constexpr int OPTION_KEEP = -1;

#define OPTION_SWITCH(name, initial, ansi) extern std::uint8_t name;
#define OPTION_FLAG(type, name, initial, ansi) extern type name;
#include "pp/pp_options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH

// A `#pragma` switch: its name and its flag.
struct OptionSwitch {
    const char *name;
    std::uint8_t *flag;
};
inline constexpr int OPTION_SWITCH_COUNT = 14;
// The switches in the order in which a pragma compares its name with them.
extern const OptionSwitch option_switches[OPTION_SWITCH_COUNT];

extern std::FILE *output_stream; // preprocessed text: standard output unless a file was named
extern std::FILE *list_stream;   // listing and severity summary; null without -l
extern std::FILE *dump_stream;   // the trace file of -t=file; standard error otherwise
// Slot 0: a buffer of OPTION_NAME_SIZE bytes with the current file's directory ("" or ending
// in '/'); then the -I directories in command-line order, each ending in '/'; a null entry.
extern char **include_dirs;
// The -S directories in command-line order, each ending in '/'; a null entry.
extern char **sys_include_dirs;

// The size of the name buffers of the command line (names up to 1023 bytes).
inline constexpr std::size_t OPTION_NAME_SIZE = 1024;

// Puts every flag, stream and directory list above back to its start-up value (the lists are
// forgotten, not freed).
void pp_options_set_defaults();

// Turns the Fortran-mode lexing, comment and spacing behaviours on or off together
// (--strip-c-comments, --fortran-comments, --fortran-literals, --fortran-lines,
// --fortran-spacing); --form= is left as it is.
void apply_fortran_lexing(bool on);

// Set by --error-exit: the run ends with status 1 when an error (severity 3) or worse was reported.
extern std::uint8_t error_exit;
// The number of -iquote directories, which follow slot 0 of include_dirs: the search for an
// angled name skips them.
extern int quote_include_count;

// The switches of the long options that only long options (and --fortran) set; all 0 at start-up.
// #pragma once: a file that says it is never read again.
extern std::uint8_t pragma_once;
// #pragma push_macro("X") / #pragma pop_macro("X") save and restore the definition of X.
extern std::uint8_t push_pop_macro;
// #warning shows the rest of its line as a warning (else it is an unknown directive).
extern std::uint8_t warning_directive;
// #error reports its text as an error (severity 3) instead of a warning.
extern std::uint8_t error_is_error;
// -Dname(params)=value defines a function-like macro (else the list is spread into the body).
extern std::uint8_t function_like_defines;

// The error of the first failed write of the preprocessed text (0 when none), for its report.
extern int output_write_errno;
