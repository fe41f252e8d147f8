// This file implements the command line: the option flags and settings with their start-up
// values, the two passes over the arguments, the -D/-U definitions file, the list and trace
// files, the include directory lists, and the opening of the main input (standard input through
// a temporary copy).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/options.h"
#include "driver/outfile.h"
#include "fe/fe.h"
#include "fe/host.h"
#include "lexer/lexer.h"
#include "mm/mm.h"
#include "msg/msg.h"
#include "pp/pp.h"
#include "si/si.h"

namespace {

enum CmdlineText : int {
#define CMDLINE_TEXT(ident, text) TEXT_##ident,
#include "driver/cmdline_texts.def"
#undef CMDLINE_TEXT
    TEXT_COUNT
};
const char *const texts[TEXT_COUNT] = {
#define CMDLINE_TEXT(ident, text) text,
#include "driver/cmdline_texts.def"
#undef CMDLINE_TEXT
};
static_assert(TEXT_COUNT == 12, "the command line has 12 fixed texts");

constexpr char TEMP_PATTERN[] = "cpXXXXXX";

// The files named on the command line that the run writes.
enum OutFileSlot : int { OUT_OUTPUT, OUT_LIST, OUT_TRACE, OUT_DEPS, OUT_COUNT };
constexpr const char *OUT_KINDS[OUT_COUNT] = {"output file", "list file", "trace file",
                                              "dependency file"};
// How each is named when its write fails, as the failure lines name it.
constexpr const char *OUT_WRITE_NAMES[OUT_COUNT] = {"preprocessor output file", "list output file",
                                                    "trace output file", "dependency file"};

struct CommandLineState {
    int argc = 0;
    char **argv = nullptr;
    // Per argument: 1 for the value an option took from the next argument (-extend_source N,
    // -o FILE, -I DIR, -include FILE, -MF FILE, ...): never an option or a file name itself.
    std::uint8_t *consumed = nullptr;
    const char *input = nullptr;      // the input file's name; null for standard input
    const char *output = nullptr;     // the output file's name; null for standard output
    bool output_named = false;        // -o or a second file name (also "-") was given
    int files_seen = 0;               // file names met so far in the first pass
    bool stdc_given = false;          // a -s form fixed stdc_value
    int include_count = 0;            // -I and -iquote directories
    int quote_count = 0;              // -iquote directories
    int sys_include_count = 0;        // -S, -isystem and -idirafter directories
    int undef_count = 0;              // -U options
    char *temp_dir = nullptr;         // the -temp= directory ending in '/'; null when not given
    std::FILE *definitions = nullptr; // the definitions file while it is written
    char definitions_name[HOST_NAME_SIZE] = {};
    bool list_wanted = false;         // -l or -l= named a list file (out[OUT_LIST].name)
    bool trace_wanted = false;        // -t= or -tl= named a trace file
    bool md = false;                  // -MD or -MMD: a depfile named after the output
    bool deps_file_given = false;     // -MF or --deps= named the depfile
    bool gnu_deps = false;            // the depfile was asked for with -M... options
    bool deps_missing_target = false; // ... but neither -MT, -MQ nor an output names a target
    bool replaces_source = false;     // a named file is a file the run read (found at the end)
    OutFile out[OUT_COUNT];
    std::vector<const char *> include_files;   // -include, in command-line order
    std::vector<const char *> macro_files;     // -imacros, in command-line order
    OptionsDefinitionsRunner runner = nullptr; // installed once; survives a reset
};

CommandLineState cl;

bool equals(const char *a, const char *b) { return std::strcmp(a, b) == 0; }
bool starts_with(const char *a, const char *prefix) {
    return std::strncmp(a, prefix, std::strlen(prefix)) == 0;
}
bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Writes `text` to `file` with its "%s" replaced by `part` (first `length` bytes) and `tail`.
// Pieces are written as they are, so a name of any length is shown whole.
void print_text(std::FILE *file, CmdlineText id, const char *part, std::size_t length,
                const char *tail = "") {
    const char *text = texts[id];
    const char *hole = std::strstr(text, "%s");
    assert(hole != nullptr && "only texts that name a file are printed this way");
    std::fwrite(text, 1, static_cast<std::size_t>(hole - text), file);
    std::fwrite(part, 1, length, file);
    std::fputs(tail, file);
    std::fputs(hole + 2, file);
}
void print_text(std::FILE *file, CmdlineText id, const char *name) {
    print_text(file, id, name, std::strlen(name));
}

// A failure line on standard error (never into the output, which may be standard output),
// flushed at once so it keeps its place before the messages printed at the end.
void print_failure(CmdlineText id, const char *part, std::size_t length, const char *tail = "") {
    print_text(stderr, id, part, length, tail);
    std::fflush(stderr);
}
void print_failure(CmdlineText id, const char *name) { print_failure(id, name, std::strlen(name)); }

void report(MessageId id, const char *argument) {
    msg_param_string(argument, 's');
    fe_report(id, POSITION_NULL);
}

// A pool copy of `dir` ending in '/' (an empty text stays empty).
char *directory_copy(const char *dir) {
    std::size_t length = std::strlen(dir);
    bool slash = length > 0 && dir[length - 1] != '/';
    auto *copy = static_cast<char *>(mm_get_vblock(mm_general_pool(), length + 2));
    std::memcpy(copy, dir, length);
    if (slash) copy[length++] = '/';
    copy[length] = '\0';
    return copy;
}

// The options that take the next argument as their value (the GNU spellings among them).
constexpr const char *VALUE_OPTIONS[] = {
    "-extend_source", "-o",      "-I",       "-S",         "-D",  "-U",  "-include",
    "-imacros",       "-iquote", "-isystem", "-idirafter", "-MF", "-MT", "-MQ"};

bool takes_value(const char *argument) {
    for (const char *form : VALUE_OPTIONS)
        if (equals(argument, form)) return true;
    return false;
}

// A file name argument: anything that is not an option, and "-" (standard input or output).
bool is_file_argument(const char *argument) { return argument[0] != '-' || argument[1] == '\0'; }

// Marks the values of options that take the next argument and finds the input file name, so
// that the look-aheads and the second pass never take a value for a file name or an option.
void scan_arguments() {
    bool input_seen = false;
    for (int i = 1; i < cl.argc; ++i) {
        if (cl.consumed[i] != 0) continue;
        const char *argument = cl.argv[i];
        if (!is_file_argument(argument)) {
            if (takes_value(argument) && i + 1 < cl.argc) cl.consumed[i + 1] = 1;
        } else if (!input_seen) {
            input_seen = true;
            if (!equals(argument, "-")) cl.input = argument;
        }
    }
}

// The value of the option at `index`, or null (3UNREC reported) when it is the last argument.
const char *option_value(int index) {
    if (index + 1 < cl.argc && cl.consumed[index + 1] != 0) return cl.argv[index + 1];
    report(MSG_3UNREC, cl.argv[index]);
    return nullptr;
}

} // namespace

namespace {

void apply_ansi() {
#define OPTION_SWITCH(name, initial, ansi)                                                         \
    if constexpr ((ansi) != OPTION_KEEP) name = static_cast<std::uint8_t>(ansi);
#define OPTION_FLAG(type, name, initial, ansi)                                                     \
    if constexpr ((ansi) != OPTION_KEEP) name = static_cast<type>(ansi);
#include "pp/pp_options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH
}

// The long on/off switches (long_switches.def): the option's name after `--` and its flag.
struct LongSwitch {
    const char *name;
    std::uint8_t *flag;
    std::uint8_t fortran; // the value --fortran gives the flag
};
constexpr LongSwitch long_switches[] = {
#define LONG_SWITCH(name, flag, fortran) {name, &flag, fortran},
#include "driver/long_switches.def"
#undef LONG_SWITCH
};

// --fortran: the settings under which tfpp gives real Fortran projects the code their compilers'
// preprocessors give. It acts where it stands, like -ansi: options after it change its settings.
void apply_fortran_mode() {
    // The lexing switches (comments, character literals, lines, spacing) are rows of the table.
    for (const LongSwitch &entry : long_switches) *entry.flag = entry.fortran;
}

// `--NAME` or `--no-NAME` of a long switch: true when `argument` is one (the flag is then set).
bool long_switch_option(const char *argument) {
    const char *name = argument + 2;
    std::uint8_t value = 1;
    if (starts_with(name, "no-")) {
        name += 3;
        value = 0;
    }
    for (const LongSwitch &entry : long_switches) {
        if (equals(name, entry.name)) {
            *entry.flag = value;
            return true;
        }
    }
    return false;
}

// ---- The definitions file -----------------------------------------------------------------

// Makes the definitions file in `dir` and opens it for writing; false when that fails.
bool make_definitions_file(const char *dir) {
    int fd = host_create_temp_file(dir, cl.definitions_name);
    if (fd < 0) return false;
    cl.definitions = fdopen(fd, "w");
    if (cl.definitions != nullptr) return true;
    close(fd);
    host_delete_temp_file(cl.definitions_name);
    return false;
}

// The definitions file, made on first use: in the -temp= directory, else in the directory of
// the first -m= argument after argument `index`, else (or when that fails) in the system's.
// When even that fails the run ends here, with status 1.
std::FILE *definitions_file(int index) {
    if (cl.definitions != nullptr) return cl.definitions;
    const char *dir = cl.temp_dir;
    for (int j = index + 1; dir == nullptr && j < cl.argc; ++j) {
        // Taken verbatim: the directory must end in '/' itself.
        if (cl.consumed[j] == 0 && starts_with(cl.argv[j], "-m=")) dir = cl.argv[j] + 3;
    }
    if (dir != nullptr && dir[0] != '\0' && make_definitions_file(dir)) return cl.definitions;
    char system_dir[HOST_NAME_SIZE];
    host_temp_dir(sizeof system_dir, system_dir);
    if (!make_definitions_file(system_dir)) {
        print_failure(TEXT_CANT_MAKE_TEMP, system_dir, std::strlen(system_dir), TEMP_PATTERN);
        host_exit(1);
    }
    return cl.definitions;
}

// One character of a definition. A line end inside an option's text becomes a blank, so that
// one option always gives exactly one line of the definitions file.
void put_definition_char(std::FILE *file, char c) {
    std::fputc(c == '\n' || c == '\r' ? ' ' : c, file);
}

// -Dname, -Dname=value, -Dname(params)=value: "#define name value" ("1" without a value).
void write_define(std::FILE *file, const char *text) {
    if (!is_name_char(text[0])) return;
    std::fputs("#define ", file);
    const char *p = text;
    while (*p != '\0' && *p != '=' && *p != '(') put_definition_char(file, *p++);
    if (*p == '(' && function_like_defines != 0) {
        // Copied as written, so the list stays right after the name: a function-like macro.
        while (*p != '\0' && *p != '=') put_definition_char(file, *p++);
    }
    // The parameter list is spread out with blanks, so the macro is object-like and its body
    // begins with the '(': that is intended, and what users of -D have come to expect.
    if (*p == '(') {
        while (*p != '\0' && *p != '=') {
            std::fputc(' ', file);
            put_definition_char(file, *p++);
        }
    }
    if (*p == '\0') {
        std::fputs(" 1\n", file);
        return;
    }
    std::fputc(' ', file);
    const char *value = ++p;
    for (; *p != '\0'; ++p) put_definition_char(file, *p);
    // A backslash at the end of the value is part of it: a blank after it keeps it from
    // continuing the definition into the next option's line.
    if (p > value && p[-1] == '\\') std::fputc(' ', file);
    std::fputc('\n', file);
}

// -Uname: "#undef name"; what follows the name is dropped.
void write_undef(std::FILE *file, const char *text) {
    if (!is_name_char(text[0])) return;
    std::fputs("#undef ", file);
    for (const char *p = text; is_name_char(*p); ++p) std::fputc(*p, file);
    std::fputc('\n', file);
}

// The name the definitions file goes by in messages, the listing and the trace: it holds
// what the command line said, and its own name is random.
constexpr char DEFINITIONS_SHOWN_NAME[] = "<command line>";

// Runs the finished definitions file through the scanning loop, then removes it; the stream
// keeps it readable through its descriptor until the messages about it have been printed with
// their lines.
bool run_definitions() {
    if (cl.definitions == nullptr) return true;
    // A write that failed would silently lose definitions: the run stops instead.
    bool written = std::fflush(cl.definitions) == 0 && std::ferror(cl.definitions) == 0;
    int fd = written ? open(cl.definitions_name, O_RDONLY | O_CLOEXEC) : -1;
    std::fclose(cl.definitions);
    cl.definitions = nullptr;
    StreamHandle handle = STREAM_NULL;
    bool adopted = fd >= 0 && si_adopt_file(DEFINITIONS_SHOWN_NAME, fd, &handle) == SI_OK;
    if (!adopted || si_open_stream(handle) != SI_OK) {
        if (fd >= 0 && !adopted) close(fd);
        print_failure(TEXT_CANT_READ_TEMP, cl.definitions_name);
        return false;
    }
    // The definitions are read with the quotes and operators of the whole command line.
    lex_set_fortran_literals(fortran_literals != 0);
    lex_set_fortran_operators(fortran_operators != 0);
    if (cl.runner != nullptr) cl.runner();
    host_delete_temp_file(cl.definitions_name);
    si_close_stream();
    // The main input starts like a fresh file.
    lex_set_rule_set(LEX_FIRST_TOKEN_LEXER);
    return true;
}

// ---- Options ------------------------------------------------------------------------------

void list_option(int index, const char *argument) {
    if (list_stream != nullptr || cl.list_wanted) return;
    if (starts_with(argument, "-l=")) {
        cl.out[OUT_LIST].name = argument + 3;
        cl.list_wanted = true;
        return;
    }
    if (!equals(argument, "-l")) {
        report(MSG_3UNREC, argument);
        return;
    }
    // Named after the input: the one seen already, else the first file name still to come.
    // Standard input ("-") has no name: the list then goes to standard error.
    const char *source = cl.files_seen > 0 ? cl.input : nullptr;
    bool stdin_input = cl.files_seen > 0 && cl.input == nullptr;
    for (int j = index + 1; source == nullptr && !stdin_input && j < cl.argc; ++j) {
        if (cl.consumed[j] != 0 || !is_file_argument(cl.argv[j])) continue;
        if (equals(cl.argv[j], "-"))
            stdin_input = true;
        else
            source = cl.argv[j];
    }
    if (source == nullptr) {
        list_stream = stderr;
        return;
    }
    const char *base = host_file_part(source);
    const char *dot = std::strrchr(base, '.');
    std::size_t stem = dot != nullptr ? static_cast<std::size_t>(dot - base) : std::strlen(base);
    cl.out[OUT_LIST].name.assign(base, stem);
    cl.out[OUT_LIST].name += ".lis";
    cl.list_wanted = true;
}

void trace_option(const char *argument) {
    // Once the traces go to a file, the whole -t family is ignored, -temp= included.
    if (cl.trace_wanted) return;
    if (equals(argument, "-t") || equals(argument, "-tl")) {
        fe_set_flag(FE_FLAG_LEX_TRACE, 1);
        dump_stream = stderr;
    } else if (starts_with(argument, "-t=") || starts_with(argument, "-tl=")) {
        fe_set_flag(FE_FLAG_LEX_TRACE, 1);
        cl.out[OUT_TRACE].name = std::strchr(argument, '=') + 1;
        cl.trace_wanted = true;
    } else if (starts_with(argument, "-temp=") && argument[6] != '\0') {
        if (cl.temp_dir != nullptr) mm_free_vblock(mm_general_pool(), cl.temp_dir);
        cl.temp_dir = directory_copy(argument + 6);
        host_set_temp_dir(cl.temp_dir);
    } else if (!starts_with(argument, "-traditional")) {
        report(MSG_3BADDEBUG, argument);
    }
}

void debug_option(const char *argument) {
    if (equals(argument, "-d") || equals(argument, "-dl")) {
        fe_set_flag(FE_FLAG_LEX_DEBUG, 1);
        return;
    }
    bool accepted = starts_with(argument, "-db") &&
                    (argument[3] == '\0' || std::strchr("=tsv", argument[3]) != nullptr);
    if (!accepted) report(MSG_3BADDEBUG, argument);
}

// A decimal number of the command line (digits only, at most INT32_MAX) into *value; false
// for anything else.
bool decimal_value(const char *number, std::int32_t *value) {
    std::int64_t result = 0;
    bool valid = number[0] != '\0';
    for (const char *p = number; valid && *p != '\0'; ++p) {
        valid = *p >= '0' && *p <= '9';
        result = result * 10 + (*p - '0');
        valid = valid && result <= INT32_MAX;
    }
    if (valid) *value = static_cast<std::int32_t>(result);
    return valid;
}

void extend_source_option(int index) {
    if (index + 1 >= cl.argc) {
        msg_report(texts[TEXT_EXTEND_MISSING], "", POSITION_NULL, SEVERITY_ERROR);
        return;
    }
    const char *number = cl.argv[index + 1];
    if (!decimal_value(number, &fixed_line_length)) {
        msg_param_string(number, 's');
        msg_report(msg_expand_params(texts[TEXT_EXTEND_BAD]), "", POSITION_NULL, SEVERITY_ERROR);
    }
}

// -s=number with the base prefixes of C (0x hexadecimal, 0 octal), held to 32 bits.
std::int32_t stdc_number(const char *text) {
    long long value = std::strtoll(text, nullptr, 0);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

// --message-limit=N: a decimal number, 0 for no limit.
void message_limit_option(const char *argument, const char *number) {
    std::int32_t value = 0;
    if (decimal_value(number, &value))
        msg_set_message_limit(value);
    else
        report(MSG_3UNREC, argument);
}

// --line-length=N: the folding limit, a decimal number from 16 (room for a fixed-form
// continuation's six columns and some code); false for any other value.
bool line_length_option(const char *number) {
    std::int32_t value = 0;
    if (!decimal_value(number, &value) || value < 16) return false;
    line_length = value;
    return true;
}

// --form=fixed|free; false for any other value.
bool form_option(const char *value) {
    if (equals(value, "fixed")) {
        source_form = 1;
    } else if (equals(value, "free")) {
        source_form = 2;
    } else {
        return false;
    }
    return true;
}

// The long options (the second character is '-'), extensions for build systems.
void long_option(const char *argument) {
    if (equals(argument, "--help")) host_show_help();
    if (equals(argument, "--version")) {
        std::printf(OPTIONS_VERSION_FORMAT, TFPP_VERSION_STRING);
        host_exit(0);
    }
    if (equals(argument, "--fortran")) {
        apply_fortran_mode();
    } else if (long_switch_option(argument)) {
        // set by the table
    } else if (starts_with(argument, "--deps=") && argument[7] != '\0') {
        deps_set_file(argument + 7);
        cl.deps_file_given = true;
    } else if (starts_with(argument, "--deps-target=") && argument[14] != '\0') {
        deps_set_target(argument + 14, DEPS_TARGET_ESCAPED);
    } else if (equals(argument, "--diagnostics=gnu")) {
        msg_set_gnu_diagnostics(true);
    } else if (equals(argument, "--diagnostics=listing")) {
        msg_set_gnu_diagnostics(false);
    } else if (starts_with(argument, "--message-limit=")) {
        message_limit_option(argument, argument + 16);
    } else if (starts_with(argument, "--form=")) {
        if (!form_option(argument + 7)) report(MSG_3UNREC, argument);
    } else if (starts_with(argument, "--line-length=")) {
        if (!line_length_option(argument + 14)) report(MSG_3UNREC, argument);
    } else {
        report(MSG_3UNREC, argument);
    }
}

// The dependency options of GNU cpp, mapped onto the depfile of --deps. A lone -M or -MM
// (dependencies instead of preprocessing) stays unrecognised: tfpp always preprocesses.
void dependency_option(int index, const char *argument) {
    if (equals(argument, "-MD") || equals(argument, "-MMD")) {
        cl.md = true;
        cl.gnu_deps = true;
        if (argument[2] == 'M') deps_leave_out_system_headers();
    } else if (equals(argument, "-MP")) {
        // The phony rule per header is always written.
    } else if (equals(argument, "-MF") || equals(argument, "-MT") || equals(argument, "-MQ")) {
        const char *value = option_value(index);
        if (value == nullptr) return;
        if (argument[2] == 'F') {
            deps_set_file(value);
            cl.deps_file_given = true;
            cl.gnu_deps = true;
        } else {
            deps_add_target(value, argument[2] == 'Q' ? DEPS_TARGET_QUOTED : DEPS_TARGET_AS_IS);
        }
    } else {
        report(MSG_3UNREC, argument);
    }
}

// The -i options of GNU cpp are recognised before the one-letter -i (trigraphs off).
bool gnu_i_option(int index, const char *argument) {
    std::vector<const char *> *files = nullptr;
    if (equals(argument, "-include"))
        files = &cl.include_files;
    else if (equals(argument, "-imacros"))
        files = &cl.macro_files;
    else if (equals(argument, "-iquote"))
        ++cl.quote_count, ++cl.include_count;
    else if (equals(argument, "-isystem") || equals(argument, "-idirafter"))
        ++cl.sys_include_count;
    else
        return false;
    const char *value = option_value(index);
    if (value != nullptr && files != nullptr) files->push_back(value);
    return true;
}

// -o FILE names the output, like a second file name.
void output_option(int index) {
    const char *value = option_value(index);
    if (value == nullptr) return;
    if (cl.output_named) {
        report(MSG_3MANYFILES, value);
        return;
    }
    cl.output_named = true;
    if (!equals(value, "-")) cl.output = value;
}

void option(int index, const char *argument) {
    switch (argument[1]) {
    case '-': long_option(argument); break;
    case '?':
    case 'h':
    case 'H': host_show_help();
    case 'a':
        if (equals(argument, "-a")) {
            output_unix_line = 0;
            output_ansi_line = 1;
        } else if (equals(argument, "-ansi")) {
            apply_ansi();
        }
        break;
    case 'B': double_slash_comments = 1; break;
    case 'c': endif_comments = 0; break;
    case 'C':
        // Either way a comment is kept or leaves a blank: --fortran before it removed them.
        output_comments = 1;
        strip_c_comments = 0;
        break;
    case 'd': debug_option(argument); break;
    case 'D':
        if (argument[2] != '\0') {
            write_define(definitions_file(index), argument + 2);
        } else if (const char *value = option_value(index)) {
            write_define(definitions_file(index), value);
        }
        break;
    case 'e':
        if (equals(argument, "-e"))
            red_directive_severity = 1;
        else if (equals(argument, "-extend_source"))
            extend_source_option(index);
        else
            report(MSG_3UNREC, argument);
        break;
    case 'f': string_parms = 0; break;
    case 'g': token_spacing = 1; break;
    case 'i':
        if (!gnu_i_option(index, argument)) string_trigraphs = 0;
        break;
    case 'I':
        if (argument[2] != '\0' || option_value(index) != nullptr) ++cl.include_count;
        break;
    case 'l': list_option(index, argument); break;
    case 'm': expand_macros = 1; break;
    case 'n':
        if (equals(argument, "-n"))
            compress_newlines = 1;
        else if (equals(argument, "-nologo"))
            show_banner = 0;
        else if (equals(argument, "-noC")) {
            output_comments = 0;
            strip_c_comments = 0;
        } else if (equals(argument, "-noB"))
            double_slash_comments = 0;
        else if (equals(argument, "-nom"))
            expand_macros = 0;
        break;
    case 'p': pushd_include = 1; break;
    case 'P':
        output_unix_line = 0;
        output_ansi_line = 0;
        break;
    case 'q': break;
    case 'Q': esc_filename = 1; break;
    case 's':
        if (equals(argument, "-s")) {
            stdc_value = 1;
            cl.stdc_given = true;
        } else if (starts_with(argument, "-s=")) {
            stdc_value = stdc_number(argument + 3);
            cl.stdc_given = true;
        } else {
            report(MSG_3UNREC, argument);
        }
        break;
    case 'S':
        if (argument[2] != '\0' || option_value(index) != nullptr) ++cl.sys_include_count;
        break;
    case 't': trace_option(argument); break;
    case 'u':
        if (equals(argument, "-u")) user_defined_sys_include = 0;
        break;
    case 'U':
        if (argument[2] != '\0' || option_value(index) != nullptr) ++cl.undef_count;
        break;
    case 'w': warn_comment_pasting = 1; break;
    case 'W': warn_unix_line = 1; break;
    case 'x':
        if (!equals(argument, "-x") && !equals(argument, "-xs") && !equals(argument, "-xd"))
            report(MSG_3UNREC, argument);
        break;
    case 'z': dollar_ident = 0; break;
    case 'o':
        if (equals(argument, "-o"))
            output_option(index);
        else
            report(MSG_3UNREC, argument);
        break;
    case 'M': dependency_option(index, argument); break;
    default: report(MSG_3UNREC, argument); break;
    }
}

void file_name(const char *name) {
    ++cl.files_seen;
    if (cl.files_seen == 1) {
        // The extension decides only while -B and -noB have not: an explicit choice wins
        // wherever it stands. A name with F or f (x.F, x.f90, x.for) is Fortran: "//" is text.
        // Standard input ("-") leaves it undecided.
        if (double_slash_comments == -1 && cl.input != nullptr) {
            const char *dot = std::strrchr(host_file_part(name), '.');
            double_slash_comments = dot != nullptr && (dot[1] == 'F' || dot[1] == 'f') ? 0 : 1;
        }
    } else if (cl.files_seen == 2 && !cl.output_named) {
        cl.output_named = true;
        if (!equals(name, "-")) cl.output = name;
    } else {
        report(MSG_3MANYFILES, name);
    }
}

void build_include_lists() {
    PoolId pool = mm_general_pool();
    include_dirs = static_cast<char **>(
        mm_get_cvblock(pool, sizeof(char *) * static_cast<std::size_t>(cl.include_count + 2)));
    sys_include_dirs = static_cast<char **>(
        mm_get_cvblock(pool, sizeof(char *) * static_cast<std::size_t>(cl.sys_include_count + 2)));
    include_dirs[0] = static_cast<char *>(mm_get_cvblock(pool, OPTION_NAME_SIZE));
}

// The second pass: the -iquote, -I and -S (-isystem, -idirafter) directories in order, and
// the -U lines after every -D line. The -iquote directories come right after slot 0 of
// include_dirs, before the -I list, and only quoted names search them.
void second_pass() {
    int quotes = 1;
    int includes = 1 + cl.quote_count;
    int sys_includes = 0;
    for (int i = 1; i < cl.argc; ++i) {
        const char *argument = cl.argv[i];
        if (cl.consumed[i] != 0 || is_file_argument(argument)) continue;
        bool bare = argument[2] == '\0';
        const char *value = takes_value(argument) && i + 1 < cl.argc && cl.consumed[i + 1] != 0
                                ? cl.argv[i + 1]
                                : nullptr;
        if (argument[1] == 'I' && !bare)
            include_dirs[includes++] = directory_copy(argument + 2);
        else if (argument[1] == 'I' && value != nullptr)
            include_dirs[includes++] = directory_copy(value);
        else if (equals(argument, "-iquote") && value != nullptr)
            include_dirs[quotes++] = directory_copy(value);
        else if (argument[1] == 'S' && !bare)
            sys_include_dirs[sys_includes++] = directory_copy(argument + 2);
        else if ((argument[1] == 'S' || equals(argument, "-isystem") ||
                  equals(argument, "-idirafter")) &&
                 value != nullptr)
            sys_include_dirs[sys_includes++] = directory_copy(value);
        else if (argument[1] == 'U' && !bare)
            write_undef(definitions_file(i), argument + 2);
        else if (argument[1] == 'U' && value != nullptr)
            write_undef(definitions_file(i), value);
    }
    include_dirs[includes] = nullptr;
    sys_include_dirs[sys_includes] = nullptr;
    quote_include_count = cl.quote_count;
}

std::int32_t computed_stdc_value() {
    return endif_comments == 0 && string_parms == 0 && string_trigraphs == 1 &&
                   user_defined_sys_include == 0 && warn_unix_line == 1 && dollar_ident == 0
               ? 1
               : 0;
}

// The name standard input goes by in line markers, messages, the listing and __FILE__.
constexpr char STDIN_SHOWN_NAME[] = "<stdin>";

// The failure line about the copy of standard input, naming the folder it was made in (its own
// name is gone: the file is removed as soon as it is made).
void print_copy_failure() {
    const char *dir = cl.temp_dir;
    char system_dir[HOST_NAME_SIZE];
    if (dir == nullptr) {
        host_temp_dir(sizeof system_dir, system_dir);
        dir = system_dir;
    }
    print_failure(TEXT_CANT_COPY_STDIN, dir, std::strlen(dir), TEMP_PATTERN);
}

// Copies standard input byte for byte into a scratch file (removed as soon as it is made, so no
// way out, not even SIGKILL, leaves it behind) and adds it as the stream `*handle`.
bool copy_standard_input(StreamHandle *handle) {
    int fd = host_open_scratch_file();
    if (fd < 0) {
        print_copy_failure();
        return false;
    }
    // Someone who typed "tfpp" alone would otherwise wait on a silent terminal.
    if (cl.files_seen == 0 && isatty(STDIN_FILENO))
        std::fputs("tfpp: reading the source from standard input (end it with Ctrl-D; "
                   "tfpp -h for help)\n",
                   stderr);
    char chunk[65536];
    bool ok = true;
    while (ok) {
        ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            ssize_t written = write(fd, chunk + done, static_cast<std::size_t>(n - done));
            if (written < 0 && errno == EINTR) continue;
            ok = written > 0;
            done += written;
        }
    }
    if (ok && si_adopt_file(STDIN_SHOWN_NAME, fd, handle) == SI_OK) return true;
    close(fd);
    print_copy_failure();
    return false;
}

// Opens the input before anything is written: the named file (kept open by the stream
// table), or the copy of standard input. Sets slot 0 of include_dirs to its directory.
bool prepare_input(StreamHandle *handle) {
    const char *name = cl.input;
    if (name == nullptr) {
        if (!copy_standard_input(handle)) return false;
        include_dirs[0][0] = '\0';
        return true;
    }
    // A name too long for its buffer is refused whole, never cut into another file's name;
    // a directory would open but could never be read.
    if (std::strlen(name) >= OPTION_NAME_SIZE || si_find_file(name, handle) != SI_OK) {
        print_failure(TEXT_CANT_OPEN_SOURCE, name);
        return false;
    }
    std::size_t dir_length = static_cast<std::size_t>(host_file_part(name) - name);
    std::memcpy(include_dirs[0], name, dir_length);
    include_dirs[0][dir_length] = '\0';
    return true;
}

bool locate_command_line_files(std::vector<const char *> &names, std::vector<std::string> &paths) {
    for (const char *name : names) {
        paths.emplace_back();
        if (!pp_locate_file(name, &paths.back())) {
            print_failure(TEXT_CANT_OPEN_SOURCE, name);
            return false;
        }
    }
    return true;
}

// The canonical form of a path that may not exist yet: its directory resolved.
std::string canonical_target(const std::string &name) {
    std::size_t slash = name.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : name.substr(0, slash + 1);
    char resolved[PATH_MAX];
    if (realpath(dir.c_str(), resolved) == nullptr) return name;
    return std::string(resolved) + "/" + name.substr(slash == std::string::npos ? 0 : slash + 1);
}

bool same_target(const OutFile &a, const OutFile &b) {
    if (outfile_same_file(a.name.c_str(), b.name.c_str())) return true;
    return canonical_target(a.name) == canonical_target(b.name);
}

bool stdout_is_file(const char *name) {
    struct stat out, file;
    return fstat(STDOUT_FILENO, &out) == 0 && stat(name, &file) == 0 && out.st_dev == file.st_dev &&
           out.st_ino == file.st_ino;
}

// A source is never an output: the named files the run would write must not be the input, an
// existing Fortran source that needs preprocessing, or one another. Each refusal is one line
// on standard error; false when there was one.
bool check_named_files() {
    if (cl.input != nullptr && cl.output == nullptr && stdout_is_file(cl.input)) {
        outfile_refuse("refusing to write to standard output: it is the input file '%s'", cl.input);
        return false;
    }
    for (int k = 0; k < OUT_COUNT; ++k) {
        const OutFile &out = cl.out[k];
        if (out.name.empty()) continue;
        const char *name = out.name.c_str();
        if (cl.input != nullptr && outfile_same_file(name, cl.input)) {
            outfile_refuse("refusing to write the %s '%s': it is the input file", OUT_KINDS[k],
                           name);
            return false;
        }
        if (outfile_is_fortran_source(name)) {
            outfile_refuse("refusing to write the %s '%s': it is a Fortran source that needs "
                           "preprocessing",
                           OUT_KINDS[k], name);
            return false;
        }
        for (int j = 0; j < k; ++j) {
            if (cl.out[j].name.empty() || !same_target(cl.out[j], out)) continue;
            std::string both = std::string(OUT_KINDS[j]) + " and the " + OUT_KINDS[k];
            outfile_refuse("refusing to write the %s to the same file '%s'", both.c_str(), name);
            return false;
        }
    }
    return true;
}

// Creates the named files (temporary files beside them) and points the streams at them.
bool create_named_files() {
    constexpr CmdlineText failures[OUT_COUNT] = {TEXT_CANT_OPEN_OUTPUT, TEXT_CANT_OPEN_LIST,
                                                 TEXT_CANT_OPEN_TRACE, TEXT_CANT_OPEN_DEPS};
    for (int k = 0; k < OUT_COUNT; ++k) {
        OutFile &out = cl.out[k];
        if (out.name.empty()) continue;
        out.what = OUT_KINDS[k];
        if (out.name.size() >= OPTION_NAME_SIZE || !outfile_create(out)) {
            print_failure(failures[k], out.name.c_str());
            return false;
        }
    }
    if (std::FILE *file = cl.out[OUT_OUTPUT].file) output_stream = file;
    if (std::FILE *file = cl.out[OUT_LIST].file) {
        list_stream = file;
        print_text(file, TEXT_LIST_HEADER, cl.out[OUT_LIST].name.c_str());
        std::fputs(host_date_text(), file);
        std::fputs("\n\n", file);
    }
    if (std::FILE *file = cl.out[OUT_TRACE].file) {
        dump_stream = file;
        print_text(file, TEXT_TRACE_HEADER, cl.out[OUT_TRACE].name.c_str());
        fe_set_trace_stream(file);
    }
    return true;
}

// -MD and -MMD name the depfile after the output (its extension replaced by ".d"), or after
// the input's base name when the output is standard output.
void name_md_depfile() {
    if (!cl.md || cl.deps_file_given) return;
    const char *from = cl.output != nullptr  ? cl.output
                       : cl.input != nullptr ? host_file_part(cl.input)
                                             : nullptr;
    if (from == nullptr) return;
    const char *base = host_file_part(from);
    const char *dot = std::strrchr(base, '.');
    std::size_t stem = dot != nullptr ? static_cast<std::size_t>(dot - from) : std::strlen(from);
    std::string name(from, stem);
    name += ".d";
    deps_set_file(name.c_str());
    cl.deps_file_given = true;
}

// Reads a file for its definitions only (-imacros): its text is discarded.
bool read_macros_file(const std::string &path) {
    StreamHandle handle = STREAM_NULL;
    if (si_find_file(path.c_str(), &handle) != SI_OK || si_open_stream(handle) != SI_OK) {
        print_failure(TEXT_CANT_OPEN_SOURCE, path.c_str());
        return false;
    }
    pp_push_file(path.c_str());
    // A change to it changes the definitions: it is a dependency like an include.
    deps_record(path.c_str(), false);
    if (cl.runner != nullptr) cl.runner();
    pp_pop_file();
    si_close_stream();
    lex_set_rule_set(LEX_FIRST_TOKEN_LEXER);
    return true;
}

// Makes the input the current stream, then enters the -include files above it, the last one
// first, so that they are read in command-line order before the input's first line.
bool open_main_input(StreamHandle handle, const std::vector<std::string> &includes) {
    const char *name = cl.input != nullptr ? cl.input : STDIN_SHOWN_NAME;
    if (si_open_stream(handle) != SI_OK) {
        print_failure(TEXT_CANT_OPEN_SOURCE, name);
        return false;
    }
    pp_push_file(name);
    for (std::size_t i = includes.size(); i-- > 0;) {
        if (!pp_include_file(includes[i].c_str())) {
            print_failure(TEXT_CANT_OPEN_SOURCE, includes[i].c_str());
            return false;
        }
    }
    return true;
}

// True when the run read the file `path` names (the input, an include, an -include or
// -imacros file): replacing it would destroy a source.
bool run_read(const char *path) {
    for (StreamHandle h = static_cast<StreamHandle>(2); h <= si_highest_stream();
         h = static_cast<StreamHandle>(h + 1)) {
        if (si_stream_is_file(h) && outfile_same_file(path, si_stream_name(h))) return true;
    }
    return false;
}

} // namespace

void options_set_defaults() {
    pp_options_set_defaults();
    deps_reset();
    OptionsDefinitionsRunner runner = cl.runner;
    cl = CommandLineState{};
    cl.runner = runner;
    host_set_temp_dir(nullptr);
}

void options_reset() {
    for (OutFile &out : cl.out) outfile_discard(out);
    if (cl.definitions != nullptr) std::fclose(cl.definitions);
    std::free(cl.consumed);
    options_set_defaults();
}

bool options_write_depfile() { return deps_write(cl.out[OUT_DEPS].file); }

void options_check_sources() {
    // Nothing the run read may be replaced by what it wrote (an include named as the output).
    for (int k = 0; k < OUT_COUNT && !cl.replaces_source; ++k) {
        const OutFile &out = cl.out[k];
        if (out.temp.empty() || !run_read(out.path.c_str())) continue;
        outfile_refuse("refusing to replace '%s' with the %s: the run read it", out.name.c_str(),
                       OUT_KINDS[k]);
        cl.replaces_source = true;
    }
}

bool options_finish_output_files() {
    bool ok = true;
    // The list file may be standard error (-l without a file name), and the output standard
    // output: those are only flushed.
    for (std::FILE *file : {list_stream, output_stream}) {
        if (file != stderr && file != stdout) continue;
        errno = 0;
        if (std::fflush(file) != 0 || std::ferror(file) != 0) {
            bool output = file == stdout;
            // errno is long gone for a write of the text that failed during the run.
            int error = output && output_write_errno != 0 ? output_write_errno : errno;
            outfile_report_write_failure(output ? "preprocessor output file" : "list output file",
                                         output ? "standard output" : "standard error", error);
            ok = false;
        }
    }
    if (dump_stream != stderr) fe_set_trace_stream(stdout);
    list_stream = nullptr;
    dump_stream = stderr;
    output_stream = nullptr;
    // The output's text went out during the run: the reason of its first failed write is kept.
    for (int k = 0; k < OUT_COUNT; ++k)
        ok = outfile_close(cl.out[k], OUT_WRITE_NAMES[k],
                           k == OUT_OUTPUT ? output_write_errno : 0) &&
             ok;
    if (cl.deps_missing_target) {
        std::fputs("tfpp: no target for the dependency file: give -o, -MT or -MQ\n", stderr);
        ok = false;
    }
    ok = ok && !cl.replaces_source;
    for (int k = 0; k < OUT_COUNT; ++k) {
        if (ok)
            ok = outfile_commit(cl.out[k]);
        else
            outfile_discard(cl.out[k]);
    }
    // A failed commit leaves the files after it as they were.
    for (OutFile &out : cl.out) outfile_discard(out);
    return ok;
}

void options_set_definitions_runner(OptionsDefinitionsRunner runner) { cl.runner = runner; }

bool parse_command_line(int argc, char **argv, StreamHandle *main_stream,
                        std::uint8_t *stdin_copied) {
    options_set_defaults();
    *stdin_copied = 0;
    cl.argc = argc;
    cl.argv = argv;
    cl.consumed = static_cast<std::uint8_t *>(fe_alloc(static_cast<std::size_t>(argc) + 1, 1));
    scan_arguments();

    for (int i = 1; i < argc; ++i) {
        if (cl.consumed[i] != 0) continue;
        if (is_file_argument(argv[i]))
            file_name(argv[i]);
        else
            option(i, argv[i]);
    }
    name_md_depfile();
    if (!deps_check_target(cl.input, cl.output, !cl.gnu_deps)) cl.deps_missing_target = cl.gnu_deps;
    if (const char *depfile = deps_file()) cl.out[OUT_DEPS].name = depfile;
    if (cl.output != nullptr) cl.out[OUT_OUTPUT].name = cl.output;
    build_include_lists();
    if (cl.include_count + cl.sys_include_count + cl.undef_count > 0) second_pass();

    // Nothing is created or truncated before the input (and the files the command line names
    // for reading) are open and the named outputs passed their checks.
    StreamHandle input = STREAM_NULL;
    std::vector<std::string> includes, macro_files;
    bool ok = prepare_input(&input);
    *stdin_copied = ok && cl.input == nullptr ? 1 : 0;
    ok = ok && locate_command_line_files(cl.include_files, includes) &&
         locate_command_line_files(cl.macro_files, macro_files) && check_named_files() &&
         create_named_files() && run_definitions();
    if (ok) {
        if (!cl.stdc_given) stdc_value = computed_stdc_value();
        pp_set_stdc_value(stdc_value);
        for (const std::string &path : macro_files) ok = ok && read_macros_file(path);
        ok = ok && open_main_input(input, includes);
    }
    *main_stream = input;
    std::free(cl.consumed);
    cl.consumed = nullptr;
    return ok;
}
