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

#include "driver/fe.h"
#include "driver/host.h"
#include "driver/options.h"
#include "lexer/lexer.h"
#include "mm/mm.h"
#include "msg/msg.h"
#include "pp/pp.h"
#include "si/si.h"

#define OPTION_SWITCH(name, initial, ansi) std::uint8_t name = initial;
#define OPTION_FLAG(type, name, initial, ansi) type name = initial;
#include "driver/options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH

const OptionSwitch option_switches[OPTION_SWITCH_COUNT] = {
#define OPTION_SWITCH(name, initial, ansi) {#name, &name},
#define OPTION_FLAG(type, name, initial, ansi)
#include "driver/options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH
};

std::uint8_t error_exit = 0;
std::FILE *output_stream = stdout;
std::FILE *list_stream = nullptr;
std::FILE *dump_stream = stderr;
char **include_dirs = nullptr;
char **sys_include_dirs = nullptr;

namespace {

constexpr int switch_rows = 0
#define OPTION_SWITCH(name, initial, ansi) +1
#define OPTION_FLAG(type, name, initial, ansi)
#include "driver/options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH
    ;
constexpr int flag_rows = 0
#define OPTION_SWITCH(name, initial, ansi) +1
#define OPTION_FLAG(type, name, initial, ansi) +1
#include "driver/options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH
    ;
static_assert(switch_rows == OPTION_SWITCH_COUNT, "every pragma switch has its row");
static_assert(flag_rows == 26, "the option table has 26 flags");

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
static_assert(TEXT_COUNT == 11, "the command line has 11 fixed texts");

constexpr char TEMP_PATTERN[] = "cpXXXXXX";

struct CommandLineState {
    int argc = 0;
    char **argv = nullptr;
    std::uint8_t *consumed = nullptr; // per argument: 1 for the number read by -extend_source
    const char *input = nullptr;      // the first file name of the command line
    const char *output = nullptr;     // the second file name, once opened
    int files_seen = 0;               // file names met so far in the first pass
    bool stdc_given = false;          // a -s form fixed stdc_value
    int include_count = 0;            // -I options
    int sys_include_count = 0;        // -S options
    int undef_count = 0;              // -U options
    char *temp_dir = nullptr;         // the -temp= directory ending in '/'; null when not given
    std::FILE *definitions = nullptr; // the definitions file while it is written
    char definitions_name[HOST_NAME_SIZE] = {};
    // The names of the files the run writes, for the report of a failed write ("" for a
    // standard stream).
    char output_name[OPTION_NAME_SIZE] = {};
    char list_name[OPTION_NAME_SIZE] = {};
    char trace_name[OPTION_NAME_SIZE] = {};
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

// A failure line on standard output, flushed at once so it keeps its place before anything
// the run prints later on standard error.
void print_failure(CmdlineText id, const char *part, std::size_t length, const char *tail = "") {
    print_text(stdout, id, part, length, tail);
    std::fflush(stdout);
}
void print_failure(CmdlineText id, const char *name) {
    print_failure(id, name, std::strlen(name));
}

void report(MessageId id, const char *argument) {
    msg_param_string(argument, 's');
    fe_report(id, POSITION_NULL);
}

bool same_file(const char *a, const char *b) {
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool is_directory(const char *name) {
    struct stat info;
    return stat(name, &info) == 0 && S_ISDIR(info.st_mode);
}

// Keeps a file name for a later report, cut to the buffer when longer.
void copy_name(char (&buffer)[OPTION_NAME_SIZE], const char *name) {
    std::size_t length = std::min(std::strlen(name), OPTION_NAME_SIZE - 1);
    std::memcpy(buffer, name, length);
    buffer[length] = '\0';
}

// Flushes `file` and, unless it is a standard stream, closes it. A write that failed at any
// time (the stream's error flag) or now is reported on standard error, naming the file and the
// system's reason. True when everything written reached the file.
bool finish_stream(std::FILE *file, const char *what, const char *name) {
    if (file == nullptr) return true;
    errno = 0;
    bool ok = std::fflush(file) == 0 && std::ferror(file) == 0;
    int error = errno;
    if (file != stdout && file != stderr) {
        errno = 0;
        if (std::fclose(file) != 0) {
            ok = false;
            if (error == 0) error = errno;
        }
    }
    if (!ok) {
        std::fprintf(stderr, "Error writing %s '%s': %s.\n", what,
                     name[0] != '\0' ? name : "standard output",
                     error != 0 ? std::strerror(error) : "write failed");
        std::fflush(stderr);
    }
    return ok;
}

// Opens a file for writing, refusing the input file itself: writing the output, the list or
// the trace over the source would destroy it before it is read.
std::FILE *open_for_writing(const char *name) {
    if (cl.input != nullptr && same_file(name, cl.input)) return nullptr;
    return std::fopen(name, "w");
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

// Marks the operands of -extend_source and finds the input file name, so that the look-aheads
// and the second pass never take a number for a file name or an option.
void scan_arguments() {
    for (int i = 1; i < cl.argc; ++i) {
        if (cl.consumed[i] != 0) continue;
        const char *argument = cl.argv[i];
        if (argument[0] == '-') {
            if (equals(argument, "-extend_source") && i + 1 < cl.argc) cl.consumed[i + 1] = 1;
        } else if (cl.input == nullptr) {
            cl.input = argument;
        }
    }
}

} // namespace

void apply_fortran_lexing(bool on) {
    std::uint8_t value = on ? 1 : 0;
    strip_c_comments = value;
    fortran_comments = value;
    fortran_literals = value;
    fortran_lines = value;
    fortran_spacing = value;
}

namespace {

void apply_ansi() {
#define OPTION_SWITCH(name, initial, ansi)                                                        \
    if constexpr ((ansi) != OPTION_KEEP) name = static_cast<std::uint8_t>(ansi);
#define OPTION_FLAG(type, name, initial, ansi)                                                    \
    if constexpr ((ansi) != OPTION_KEEP) name = static_cast<type>(ansi);
#include "driver/options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH
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
    for (++p; *p != '\0'; ++p) put_definition_char(file, *p);
    std::fputc('\n', file);
}

// -Uname: "#undef name"; what follows the name is dropped.
void write_undef(std::FILE *file, const char *text) {
    if (!is_name_char(text[0])) return;
    std::fputs("#undef ", file);
    for (const char *p = text; is_name_char(*p); ++p) std::fputc(*p, file);
    std::fputc('\n', file);
}

// Runs the finished definitions file through the scanning loop, then deletes it.
bool run_definitions() {
    if (cl.definitions == nullptr) return true;
    // A write that failed would silently lose definitions: the run stops instead.
    bool written = std::ferror(cl.definitions) == 0;
    written = std::fclose(cl.definitions) == 0 && written;
    cl.definitions = nullptr;
    StreamHandle handle = STREAM_NULL;
    if (!written || si_find_stream(cl.definitions_name, &handle) != SI_OK ||
        si_open_stream(handle) != SI_OK) {
        print_failure(TEXT_CANT_READ_TEMP, cl.definitions_name);
        return false;
    }
    // The definitions are read with the quotes of the whole command line.
    lex_set_fortran_literals(fortran_literals != 0);
    if (cl.runner != nullptr) cl.runner();
    si_close_stream();
    host_delete_temp_file(cl.definitions_name);
    // The main input starts like a fresh file.
    lex_set_rule_set(LEX_FIRST_TOKEN_LEXER);
    return true;
}

// ---- Options ------------------------------------------------------------------------------

void open_list_file(const char *name) {
    std::FILE *file = std::strlen(name) < OPTION_NAME_SIZE ? open_for_writing(name) : nullptr;
    if (file == nullptr) {
        print_failure(TEXT_CANT_OPEN_LIST, name);
        return;
    }
    list_stream = file;
    copy_name(cl.list_name, name);
    print_text(file, TEXT_LIST_HEADER, name);
    std::fputs(host_date_text(), file);
    std::fputs("\n\n", file);
}

void list_option(int index, const char *argument) {
    if (list_stream != nullptr) return;
    if (starts_with(argument, "-l=")) {
        open_list_file(argument + 3);
        return;
    }
    if (!equals(argument, "-l")) {
        report(MSG_3UNREC, argument);
        return;
    }
    // Named after the input: the one seen already, else the first file name still to come.
    const char *source = cl.files_seen > 0 ? cl.input : nullptr;
    for (int j = index + 1; source == nullptr && j < cl.argc; ++j) {
        if (cl.consumed[j] == 0 && cl.argv[j][0] != '-') source = cl.argv[j];
    }
    if (source == nullptr) {
        list_stream = stderr;
        return;
    }
    const char *base = host_file_part(source);
    const char *dot = std::strrchr(base, '.');
    std::size_t stem = dot != nullptr ? static_cast<std::size_t>(dot - base) : std::strlen(base);
    if (stem + sizeof ".lis" > OPTION_NAME_SIZE) {
        print_failure(TEXT_CANT_OPEN_LIST, base, stem, ".lis");
        return;
    }
    char name[OPTION_NAME_SIZE];
    std::memcpy(name, base, stem);
    std::memcpy(name + stem, ".lis", sizeof ".lis");
    open_list_file(name);
}

void open_trace_file(const char *name) {
    std::FILE *file = open_for_writing(name);
    if (file == nullptr) {
        print_failure(TEXT_CANT_OPEN_TRACE, name);
        // The traces still follow dump_stream, which stays standard error.
        fe_set_trace_stream(dump_stream);
        return;
    }
    dump_stream = file;
    copy_name(cl.trace_name, name);
    print_text(file, TEXT_TRACE_HEADER, name);
    fe_set_trace_stream(file);
}

void trace_option(const char *argument) {
    // Once the traces go to a file, the whole -t family is ignored, -temp= included.
    if (dump_stream != stderr) return;
    if (equals(argument, "-t") || equals(argument, "-tl")) {
        fe_set_flag(FE_FLAG_LEX_TRACE, 1);
        dump_stream = stderr;
    } else if (starts_with(argument, "-t=") || starts_with(argument, "-tl=")) {
        fe_set_flag(FE_FLAG_LEX_TRACE, 1);
        open_trace_file(std::strchr(argument, '=') + 1);
    } else if (starts_with(argument, "-temp=") && argument[6] != '\0') {
        if (cl.temp_dir != nullptr) mm_free_vblock(mm_general_pool(), cl.temp_dir);
        cl.temp_dir = directory_copy(argument + 6);
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

void extend_source_option(int index) {
    if (index + 1 >= cl.argc) {
        msg_report(texts[TEXT_EXTEND_MISSING], "", POSITION_NULL, SEVERITY_ERROR);
        return;
    }
    const char *number = cl.argv[index + 1];
    std::int64_t value = 0;
    bool valid = number[0] != '\0';
    for (const char *p = number; valid && *p != '\0'; ++p) {
        valid = *p >= '0' && *p <= '9';
        value = value * 10 + (*p - '0');
        valid = valid && value <= INT32_MAX;
    }
    if (!valid) {
        msg_param_string(number, 's');
        msg_report(msg_expand_params(texts[TEXT_EXTEND_BAD]), "", POSITION_NULL, SEVERITY_ERROR);
        return;
    }
    fixed_line_length = static_cast<std::int32_t>(value);
}

// -s=number with the base prefixes of C (0x hexadecimal, 0 octal), held to 32 bits.
std::int32_t stdc_number(const char *text) {
    long long value = std::strtoll(text, nullptr, 0);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

// The on/off pairs of the Fortran-mode behaviours: `--name` sets the flag, `--no-name` clears it.
struct FortranSwitch {
    const char *name;
    std::uint8_t *flag;
};
const FortranSwitch fortran_switches[] = {
    {"strip-c-comments", &strip_c_comments},   {"fortran-comments", &fortran_comments},
    {"fortran-literals", &fortran_literals},   {"fortran-lines", &fortran_lines},
    {"fortran-spacing", &fortran_spacing},
};

// True when `argument` (after its "--") is one of the pairs, which is then applied.
bool fortran_switch_option(const char *argument) {
    bool on = !starts_with(argument, "no-");
    const char *name = on ? argument : argument + 3;
    for (const FortranSwitch &s : fortran_switches) {
        if (equals(name, s.name)) {
            *s.flag = on ? 1 : 0;
            return true;
        }
    }
    return false;
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
    if (equals(argument, "--error-exit")) {
        error_exit = 1;
    } else if (equals(argument, "--fortran")) {
        // The lexing part of the Fortran mode, with macros in code lines.
        apply_fortran_lexing(true);
        expand_macros = 1;
    } else if (starts_with(argument, "--deps=") && argument[7] != '\0') {
        deps_set_file(argument + 7);
    } else if (starts_with(argument, "--deps-target=") && argument[14] != '\0') {
        deps_set_target(argument + 14);
    } else if (starts_with(argument, "--form=")) {
        if (!form_option(argument + 7)) report(MSG_3UNREC, argument);
    } else if (!fortran_switch_option(argument + 2)) {
        report(MSG_3UNREC, argument);
    }
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
    case 'D': write_define(definitions_file(index), argument + 2); break;
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
    case 'i': string_trigraphs = 0; break;
    case 'I': ++cl.include_count; break;
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
        }
        else if (equals(argument, "-noB"))
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
    case 'S': ++cl.sys_include_count; break;
    case 't': trace_option(argument); break;
    case 'u':
        if (equals(argument, "-u")) user_defined_sys_include = 0;
        break;
    case 'U': ++cl.undef_count; break;
    case 'w': warn_comment_pasting = 1; break;
    case 'W': warn_unix_line = 1; break;
    case 'x':
        if (!equals(argument, "-x") && !equals(argument, "-xs") && !equals(argument, "-xd"))
            report(MSG_3UNREC, argument);
        break;
    case 'z': dollar_ident = 0; break;
    default: report(MSG_3UNREC, argument); break;
    }
}

void file_name(const char *name) {
    ++cl.files_seen;
    if (cl.files_seen == 1) {
        // The extension decides only while -B and -noB have not: an explicit choice wins
        // wherever it stands. A name with F or f (x.F, x.f90, x.for) is Fortran: "//" is text.
        if (double_slash_comments == -1) {
            const char *dot = std::strrchr(host_file_part(name), '.');
            double_slash_comments = dot != nullptr && (dot[1] == 'F' || dot[1] == 'f') ? 0 : 1;
        }
    } else if (cl.files_seen == 2) {
        std::FILE *file = open_for_writing(name);
        if (file == nullptr)
            print_failure(TEXT_CANT_OPEN_OUTPUT, name);
        else {
            output_stream = file;
            cl.output = name;
            copy_name(cl.output_name, name);
        }
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

// The second pass: -I and -S directories in order, and the -U lines after every -D line.
void second_pass() {
    int includes = 1;
    int sys_includes = 0;
    for (int i = 1; i < cl.argc; ++i) {
        const char *argument = cl.argv[i];
        if (cl.consumed[i] != 0 || argument[0] != '-') continue;
        if (argument[1] == 'I' && argument[2] != '\0')
            include_dirs[includes++] = directory_copy(argument + 2);
        else if (argument[1] == 'S' && argument[2] != '\0')
            sys_include_dirs[sys_includes++] = directory_copy(argument + 2);
        else if (argument[1] == 'U')
            write_undef(definitions_file(i), argument + 2);
    }
    include_dirs[includes] = nullptr;
    sys_include_dirs[sys_includes] = nullptr;
}

std::int32_t computed_stdc_value() {
    return endif_comments == 0 && string_parms == 0 && string_trigraphs == 1 &&
                   user_defined_sys_include == 0 && warn_unix_line == 1 && dollar_ident == 0
               ? 1
               : 0;
}

// Copies standard input byte for byte into a new temporary file named in `name`.
bool copy_standard_input(char *name) {
    const char *dir = cl.temp_dir;
    char system_dir[HOST_NAME_SIZE];
    if (dir == nullptr) {
        host_temp_dir(sizeof system_dir, system_dir);
        dir = system_dir;
    }
    int fd = host_create_temp_file(dir, name);
    if (fd < 0) {
        print_failure(TEXT_CANT_COPY_STDIN, dir, std::strlen(dir), TEMP_PATTERN);
        return false;
    }
    char chunk[8192];
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
    ok = close(fd) == 0 && ok;
    if (!ok) print_failure(TEXT_CANT_COPY_STDIN, name);
    return ok;
}

// Opens the main input as the current stream: the named file, or a copy of standard input.
bool open_main_input(StreamHandle *main_stream, std::uint8_t *stdin_copied) {
    const char *name = cl.input;
    char copy_name[HOST_NAME_SIZE];
    StreamHandle handle = STREAM_NULL;
    if (name == nullptr) {
        if (!copy_standard_input(copy_name)) return false;
        *stdin_copied = 1;
        name = copy_name;
        if (si_find_stream(name, &handle) != SI_OK || si_open_stream(handle) != SI_OK) {
            print_failure(TEXT_CANT_COPY_STDIN, name);
            return false;
        }
    } else {
        // A name too long for its buffer is refused whole, never cut into another file's name;
        // a directory would open but could never be read.
        if (std::strlen(name) >= OPTION_NAME_SIZE || is_directory(name) ||
            si_find_stream(name, &handle) != SI_OK || si_open_stream(handle) != SI_OK) {
            print_failure(TEXT_CANT_OPEN_SOURCE, name);
            return false;
        }
    }
    *main_stream = handle;
    pp_push_file(name);
    std::size_t dir_length = static_cast<std::size_t>(host_file_part(name) - name);
    std::memcpy(include_dirs[0], name, dir_length);
    include_dirs[0][dir_length] = '\0';
    return true;
}

} // namespace

void options_set_defaults() {
#define OPTION_SWITCH(name, initial, ansi) name = initial;
#define OPTION_FLAG(type, name, initial, ansi) name = initial;
#include "driver/options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH
    error_exit = 0;
    deps_reset();
    output_stream = stdout;
    list_stream = nullptr;
    dump_stream = stderr;
    include_dirs = nullptr;
    sys_include_dirs = nullptr;
    OptionsDefinitionsRunner runner = cl.runner;
    cl = CommandLineState{};
    cl.runner = runner;
}

void options_reset() {
    auto close_file = [](std::FILE *file) {
        if (file != nullptr && file != stdin && file != stdout && file != stderr)
            std::fclose(file);
    };
    close_file(output_stream);
    close_file(list_stream);
    close_file(dump_stream);
    close_file(cl.definitions);
    std::free(cl.consumed);
    options_set_defaults();
}

bool options_finish_output_files() {
    // The list file may be standard error (-l without a file name): it is then only flushed.
    bool ok = finish_stream(list_stream == stderr ? nullptr : list_stream, "list output file",
                            cl.list_name);
    list_stream = nullptr;
    ok = finish_stream(dump_stream == stderr ? nullptr : dump_stream, "trace output file",
                       cl.trace_name) && ok;
    if (dump_stream != stderr) fe_set_trace_stream(stdout);
    dump_stream = stderr;
    ok = finish_stream(output_stream, "preprocessor output file", cl.output_name) && ok;
    output_stream = nullptr;
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
        if (argv[i][0] == '-')
            option(i, argv[i]);
        else
            file_name(argv[i]);
    }
    deps_check_target(cl.input, cl.output);
    build_include_lists();
    if (cl.include_count + cl.sys_include_count + cl.undef_count > 0) second_pass();

    bool ok = run_definitions();
    if (ok) {
        if (!cl.stdc_given) stdc_value = computed_stdc_value();
        pp_set_stdc_value(stdc_value);
        ok = open_main_input(main_stream, stdin_copied);
    }
    std::free(cl.consumed);
    cl.consumed = nullptr;
    return ok;
}
