// This file implements the option flags and settings of a run (see pp_options.h): their
// start-up values, the table of the `#pragma` switches and the Fortran lexing group.
#include "pp/pp_options.h"

#define OPTION_SWITCH(name, initial, ansi) std::uint8_t name = initial;
#define OPTION_FLAG(type, name, initial, ansi) type name = initial;
#include "pp/pp_options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH

const OptionSwitch option_switches[OPTION_SWITCH_COUNT] = {
#define OPTION_SWITCH(name, initial, ansi) {#name, &name},
#define OPTION_FLAG(type, name, initial, ansi)
#include "pp/pp_options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH
};

std::uint8_t error_exit = 0;
std::uint8_t pragma_once = 0;
std::uint8_t push_pop_macro = 0;
std::uint8_t warning_directive = 0;
std::uint8_t error_is_error = 0;
std::uint8_t function_like_defines = 0;
int quote_include_count = 0;
int output_write_errno = 0;
std::FILE *output_stream = stdout;
std::FILE *list_stream = nullptr;
std::FILE *dump_stream = stderr;
char **include_dirs = nullptr;
char **sys_include_dirs = nullptr;

namespace {

constexpr int switch_rows = 0
#define OPTION_SWITCH(name, initial, ansi) +1
#define OPTION_FLAG(type, name, initial, ansi)
#include "pp/pp_options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH
    ;
constexpr int flag_rows = 0
#define OPTION_SWITCH(name, initial, ansi) +1
#define OPTION_FLAG(type, name, initial, ansi) +1
#include "pp/pp_options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH
    ;
static_assert(switch_rows == OPTION_SWITCH_COUNT, "every pragma switch has its row");
static_assert(flag_rows == 31, "the option table has 31 flags");

} // namespace

void pp_options_set_defaults() {
#define OPTION_SWITCH(name, initial, ansi) name = initial;
#define OPTION_FLAG(type, name, initial, ansi) name = initial;
#include "pp/pp_options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH
    error_exit = 0;
    pragma_once = 0;
    push_pop_macro = 0;
    warning_directive = 0;
    error_is_error = 0;
    function_like_defines = 0;
    quote_include_count = 0;
    output_write_errno = 0;
    output_stream = stdout;
    list_stream = nullptr;
    dump_stream = stderr;
    include_dirs = nullptr;
    sys_include_dirs = nullptr;
}

void apply_fortran_lexing(bool on) {
    std::uint8_t value = on ? 1 : 0;
    strip_c_comments = value;
    fortran_comments = value;
    fortran_literals = value;
    fortran_lines = value;
    fortran_spacing = value;
}
