// This file implements #include: the character-level reading of the operand and of quoted and
// angled header names, the search along the directory lists and the include environment
// variable, the include-guard table, and the entering of a found file as the current stream.
#include <cassert>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "fe/fe.h"
#include "fe/host.h"
#include "lexer/lexer.h"
#include "msg/msg.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

namespace {

constexpr std::uint32_t HEADER_SIZE = 1024; // header names up to 1023 bytes
constexpr std::uint32_t PATH_SIZE = 1024;   // candidate paths up to 1023 bytes
constexpr std::uint32_t GUARD_COUNT = 65535;

// What the operand reader found where the operand starts.
enum OperandStart : std::uint8_t {
    OPERAND_END_OF_FILE, // the end byte, left unread
    OPERAND_LINE_END,    // the newline, consumed
    OPERAND_QUOTE,       // `"`, consumed
    OPERAND_ANGLE,       // `<`, consumed
    OPERAND_OTHER,       // anything else, left unread
    OPERAND_AGAIN,       // a macro expanded to nothing: the operand is read again
};

// Why a search found nothing it could enter, when something stood in the way; the strongest
// reason seen is the one reported.
enum Refusal : std::uint8_t {
    REFUSED_NONE,          // nothing there: "cannot find file"
    REFUSED_NAME_TOO_LONG, // a candidate's name was longer than a path may be
    REFUSED_TABLE_FULL,    // the stream table holds no more files
};

struct IncludeState {
    char header[HEADER_SIZE]; // the header name being collected, 0-terminated
    std::uint32_t header_length;
    bool header_too_long; // bytes were dropped: the name is refused, never searched cut
    char path[PATH_SIZE]; // the candidate path being built
    Position where;       // the directive being searched for
    Refusal refusal;      // why the search has found nothing so far
    PpIncludeGuard guards[GUARD_COUNT];
    // Entries from here on have not been handed out since the last reset and are still zero,
    // so a reset clears only the used ones: start-up does not zero-fill 1.5 MB.
    std::uint32_t guards_used;
    bool in_system_dirs; // the search has reached the system directories (for -MMD)
    bool angled;         // the name being searched for was written <...>
    // pp_locate_file: the search only finds the file (its path is left in `path`), enters
    // nothing and reports nothing.
    bool locating;
};

IncludeState incl;

// Told of every file found (pp_set_include_recorder); installed once, kept over the resets.
PpIncludeRecorder include_recorder = nullptr;

void record_include(const char *path) {
    if (include_recorder != nullptr) include_recorder(path, incl.in_system_dirs);
}

// A file that said `#pragma once`, known by its device and inode: another name for the same
// file (a link, `sub/../x.h`) is the same file.
struct OnceFile {
    dev_t device;
    ino_t inode;
};
std::vector<OnceFile> once_files;

// True when `path` names a file that said `#pragma once`.
bool is_once_file(const char *path) {
    if (once_files.empty()) return false;
    struct stat info;
    if (::stat(path, &info) != 0) return false;
    for (const OnceFile &file : once_files)
        if (file.device == info.st_dev && file.inode == info.st_ino) return true;
    return false;
}

// Backs up over `count` delivered bytes. The ring always holds the few bytes of one operand's
// look-ahead, so a failure here is our own fault.
void retract(std::uint32_t count) {
    [[maybe_unused]] SiStatus status = si_back_up(count);
    assert(status == SI_OK && "the look-ahead of an include operand is still in the ring");
}

// After a `?`: true when `?/` and a newline follow (all consumed); otherwise nothing consumed.
bool trigraph_continuation() {
    if (si_get_char() != '?') {
        retract(1);
        return false;
    }
    if (si_get_char() != '/') {
        retract(2);
        return false;
    }
    if (si_get_char() != '\n') {
        retract(3);
        return false;
    }
    return true;
}

// Passes over blanks, tabs, comments and continuations to the operand's first character.
// Vertical white space is passed over with a warning unless `quiet` (a skipped group).
OperandStart operand_start(Position where, bool quiet) {
    for (;;) {
        int c = si_get_char();
        switch (c) {
        case ' ':
        case '\t': continue;
        case '\v':
        case '\f':
        case '\r':
            if (!quiet) pp_report(PP_MSG_VERTICAL_WHITESPACE, where);
            continue;
        case '\n': return OPERAND_LINE_END;
        case SI_END_OF_STREAM: retract(1); return OPERAND_END_OF_FILE;
        case '"': return OPERAND_QUOTE;
        case '<': return OPERAND_ANGLE;
        case '\\':
            if (si_get_char() == '\n') continue;
            retract(2);
            return OPERAND_OTHER;
        case '?':
            if (trigraph_continuation()) continue;
            retract(1);
            return OPERAND_OTHER;
        case '/': {
            int next = si_get_char();
            if (next == '*') {
                if (!pp_skip_directive_comment()) return OPERAND_END_OF_FILE;
                continue;
            }
            if (next == '/' && double_slash_comments == 1) {
                // A line comment: the operand is missing, the line ends here.
                if (pp_skip_line_comment()) return OPERAND_LINE_END;
                return OPERAND_END_OF_FILE;
            }
            retract(2);
            return OPERAND_OTHER;
        }
        default: retract(1); return OPERAND_OTHER;
        }
    }
}

void append(char c) {
    if (incl.header_length + 1 < HEADER_SIZE)
        incl.header[incl.header_length++] = c;
    else
        incl.header_too_long = true;
}

char trigraph_replacement(int c) {
    switch (c) {
    case '=': return '#';
    case '(': return '[';
    case '/': return '\\';
    case ')': return ']';
    case '\'': return '^';
    case '<': return '{';
    case '!': return '|';
    case '>': return '}';
    case '-': return '~';
    default: return 0;
    }
}

// Collects a quoted or angled name up to `closer`. Trigraphs are always replaced and
// continuations removed; a backslash is an ordinary character (no escapes). A line end or the
// end of input ends the name early, left unread.
void read_header_name(char closer, Position where, bool quiet) {
    incl.header_length = 0;
    incl.header_too_long = false;
    for (;;) {
        int c = si_get_char();
        if (c == closer) break;
        if (c == '\n' || c == SI_END_OF_STREAM) {
            if (!quiet) pp_report(PP_MSG_BAD_HEADER_END, where);
            retract(1);
            break;
        }
        if (c == '\\') {
            if (si_get_char() == '\n') continue;
            retract(1);
            append('\\');
            continue;
        }
        if (c == '?') {
            int run = 1;
            int next;
            while ((next = si_get_char()) == '?') ++run;
            char replacement = run >= 2 ? trigraph_replacement(next) : 0;
            if (replacement == 0) {
                // Not a trigraph: the question marks stay and the next byte is read again.
                for (int i = 0; i < run; ++i) append('?');
                retract(1);
                continue;
            }
            for (int i = 2; i < run; ++i) append('?');
            if (replacement == '\\') {
                if (si_get_char() == '\n') continue;
                retract(1);
            }
            append(replacement);
            continue;
        }
        append(static_cast<char>(c));
    }
    incl.header[incl.header_length] = '\0';
}

void refuse(Refusal refusal) {
    if (refusal > incl.refusal) incl.refusal = refusal;
}

// "cannot find file" in the one-line diagnostics format: with the header's name, since that
// line is all a reader of the build log sees.
void report_missing_header(Position where) {
    if (!msg_gnu_diagnostics()) {
        pp_report(PP_MSG_CANNOT_FIND_INCLUDE, where);
        return;
    }
    std::string text = pp_message_text(PP_MSG_CANNOT_FIND_INCLUDE);
    text += incl.angled ? ": <" : ": \"";
    text.append(incl.header, incl.header_length);
    text += incl.angled ? ">" : "\"";
    msg_report(text.c_str(), "", where, SEVERITY_ERROR);
}

// The message of a search that entered nothing: what stood in the way, if anything did.
void report_not_found(Position where) {
    if (incl.locating) return;
    switch (incl.refusal) {
    case REFUSED_NONE: report_missing_header(where); break;
    case REFUSED_NAME_TOO_LONG: pp_report(PP_MSG_INCLUDE_NAME_TOO_LONG, where); break;
    case REFUSED_TABLE_FULL: pp_report(PP_MSG_INCLUDE_TOO_MANY_FILES, where); break;
    }
}

// Before a found file is opened as one more level of the file stack: when the stack is full
// (an #include that includes itself, directly or not), the run ends at the directive. One
// level is given back first, so that the listing can re-read the source lines on the way out.
void check_include_depth() {
    if (si_stream_depth() < SI_FILE_STACK_SIZE) return;
    pp_report(PP_MSG_INCLUDE_TOO_DEEP, incl.where);
    si_close_stream();
    fe_fatal_exit();
}

// A file can be included when the path names something that is not a directory and may be
// read. A directory would open but never read.
bool file_exists(const char *path) {
    struct stat info;
    return ::stat(path, &info) == 0 && !S_ISDIR(info.st_mode) && ::access(path, R_OK) == 0;
}

// Enters `path` when it can be included. A file skipped by its complete guard is only checked
// for; any other is opened at once, and the stream layer keeps that descriptor for reading it
// (a check first and an open after would cost two more system calls per inclusion).
bool enter_if_readable(const char *path) {
    if (incl.locating) {
        if (!file_exists(path)) return false;
        if (path != incl.path) std::memcpy(incl.path, path, std::strlen(path) + 1);
        return true;
    }
    if (is_once_file(path)) {
        // Found, and read already: nothing to include, but still a dependency.
        record_include(path);
        return true;
    }
    StreamHandle handle = STREAM_NULL;
    errno = 0;
    if (si_lookup_stream(path, &handle) == SI_OK) {
        const PpIncludeGuard *guard = pp_include_guard(handle);
        if (guard != nullptr && guard->complete != 0) {
            if (file_exists(path)) return pp_enter_file(path, handle);
            if (errno == ENAMETOOLONG) refuse(REFUSED_NAME_TOO_LONG);
            return false;
        }
    }
    switch (si_find_file(path, &handle)) {
    case SI_OK: return pp_enter_file(path, handle);
    case SI_TABLE_FULL: refuse(REFUSED_TABLE_FULL); return false;
    default:
        // The system's limit on a name or one of its parts.
        if (errno == ENAMETOOLONG) refuse(REFUSED_NAME_TOO_LONG);
        return false;
    }
}

// Tries `directory` + the header name. True when the file was entered or skipped by its guard.
bool try_candidate(const char *directory) {
    std::size_t dir_length = std::strlen(directory);
    // A candidate too long for the path buffer is passed over rather than cut into the name of
    // some other file.
    if (dir_length + incl.header_length >= PATH_SIZE) {
        refuse(REFUSED_NAME_TOO_LONG);
        return false;
    }
    std::memcpy(incl.path, directory, dir_length);
    std::memcpy(incl.path + dir_length, incl.header, incl.header_length + 1);
    return enter_if_readable(incl.path);
}

// Opens a path that is not searched for (an absolute name, or one found through the
// environment variable); a failure is reported.
void enter_exact(const char *path, Position where) {
    if (enter_if_readable(path)) return;
    report_not_found(where);
}

// The search shared by both forms, from entry `first` of include_dirs (past the end when the
// -I list is not searched at all).
void search(int first, Position where) {
    incl.where = where;
    incl.refusal = REFUSED_NONE;
    if (incl.header_too_long) refuse(REFUSED_NAME_TOO_LONG);
    if (incl.header_too_long || incl.header_length == 0) {
        report_not_found(where);
        return;
    }
    if (incl.header[0] == '/') {
        enter_exact(incl.header, where);
        return;
    }
    if (first >= 0 && include_dirs != nullptr) {
        for (int i = 0; include_dirs[i] != nullptr; ++i)
            if (i >= first && try_candidate(include_dirs[i])) return;
    }
    incl.in_system_dirs = true;
    if (sys_include_dirs != nullptr) {
        for (int i = 0; sys_include_dirs[i] != nullptr; ++i)
            if (try_candidate(sys_include_dirs[i])) {
                incl.in_system_dirs = false;
                return;
            }
    }
    if (host_search_include_env(incl.header, PATH_SIZE, incl.path, where)) {
        enter_exact(incl.path, where);
        incl.in_system_dirs = false;
        return;
    }
    incl.in_system_dirs = false;
    report_not_found(where);
}

// The spelling of a token taken out of an expansion or read from the line.
const char *spelling(const Token *token) {
    TextHandle value = static_cast<TextHandle>(token->value);
    if (value == TEXT_NULL) value = token_spelling(token->kind);
    return text_string(value);
}

// Where the tokens of a macro-produced header name come from: the running expansion first,
// then the rest of the line, whose macro names are expanded in their turn.
struct NameSource {
    Position where;
    bool expanding; // an expansion is running
    Token line_token;
};

// The next token of the name: from the expansion while it runs, else from the line. Newlines
// and the end of input come back as such (the end byte left unread); `spaced` is set when white
// space came first.
const Token *next_name_token(NameSource *source) {
    if (source->expanding) {
        const Token *token = pp_directive_expansion_next();
        if (token->kind != TOKEN_FINISHED) return token;
        source->expanding = false;
    }
    CurrentToken current{};
    std::uint8_t spaced = 0;
    for (;;) {
        lex_token(&current.kind, &current.position);
        switch (current.kind) {
        case TOKEN_HORIZ_WHITESPACE:
        case TOKEN_BSLASH_NL:
        case TOKEN_OTHER_WHITESPACE: spaced = 1; continue;
        case TOKEN_COMMENT:
            // At the end of input inside it, the end byte is the next token.
            spaced = 1;
            pp_skip_directive_comment();
            continue;
        case TOKEN_END_OF_FILE: si_back_up(1); break;
        case TOKEN_BOL_COMMENT:
            if (double_slash_comments == 1) {
                // A line comment ends the line: its newline is the token.
                if (pp_skip_line_comment()) {
                    current.kind = TOKEN_NEWLINE;
                    break;
                }
                continue;
            }
            current.value = text_enter("//", 2);
            break;
        case TOKEN_NEWLINE: break;
        default: {
            pp_convert_token(&current);
            PpMacro *macro =
                current.kind == TOKEN_IDENTIFIER ? pp_lookup_macro(current.value) : nullptr;
            if (macro != nullptr && pp_directive_expansion_start(macro, current.position)) {
                source->expanding = true;
                const Token *token = next_name_token(source);
                // The first token of an expansion stands where the name stood.
                source->line_token = *token;
                source->line_token.spaced = spaced != 0 || token->spaced != 0;
                return &source->line_token;
            }
            break;
        }
        }
        break;
    }
    source->line_token =
        Token{current.kind, static_cast<std::int32_t>(current.value), spaced, 0, 0, nullptr};
    return &source->line_token;
}

// Appends the characters of `text` up to `closer`. True when the closer was met; `*after` then
// points behind it.
bool append_until(const char *text, char closer, const char **after) {
    for (; *text != '\0'; ++text) {
        if (*text == closer) {
            *after = text + 1;
            return true;
        }
        append(*text);
    }
    return false;
}

// Step 3 of the macro form: the name goes on over the following tokens up to `closer`. False
// when the line or the input ended first (the name so far is used). Material after the closer
// inside the same token is reported.
bool collect_name(NameSource *source, char closer) {
    for (;;) {
        const Token *token = next_name_token(source);
        switch (token->kind) {
        case TOKEN_NEWLINE:
        case TOKEN_END_OF_FILE: pp_report(PP_MSG_BAD_HEADER_END, source->where); return false;
        case TOKEN_GT:
            if (closer == '>') return true;
            break;
        case TOKEN_GTEQ:
        case TOKEN_GTGT:
        case TOKEN_GTGTEQ:
            if (closer == '>') {
                pp_report(PP_MSG_AFTER_HEADER, source->where);
                return true;
            }
            break;
        case TOKEN_STRINGCONST:
            if (closer == '"') {
                pp_report(PP_MSG_AFTER_HEADER, source->where);
                return true;
            }
            [[fallthrough]];
        case TOKEN_CHARCONST:
        case ERROR_TOKEN: {
            if (token->spaced != 0) append(' ');
            const char *after = nullptr;
            if (append_until(spelling(token), closer, &after)) {
                if (*after != '\0') pp_report(PP_MSG_AFTER_HEADER, source->where);
                return true;
            }
            continue;
        }
        default: break;
        }
        if (token->spaced != 0) append(' ');
        for (const char *p = spelling(token); *p != '\0'; ++p) append(*p);
    }
}

// After a macro-produced name: a running expansion must be over, and the line may hold only
// macros that expand to nothing. The newline is read here.
void finish_macro_name(NameSource *source, bool ended_line) {
    if (source->expanding) {
        if (pp_directive_expansion_next()->kind != TOKEN_FINISHED) {
            pp_report(PP_MSG_AFTER_HEADER, source->where);
            pp_directive_expansion_abandon();
            pp_skip_directive_rest();
            return;
        }
        source->expanding = false;
    }
    if (ended_line) return;
    pp_check_directive_tail();
    if (si_get_char() != '\n') si_back_up(1);
}

// The macro form: the operand does not start with `"` or `<`. Returns the form found
// (OPERAND_QUOTE or OPERAND_ANGLE) with the name in the buffer, OPERAND_LINE_END or
// OPERAND_END_OF_FILE when a macro expanded to nothing and the line ended, OPERAND_OTHER when
// nothing is to be included (already reported).
OperandStart macro_form(Position where) {
    CurrentToken token{};
    lex_token(&token.kind, &token.position);
    bool name = token.kind == TOKEN_IDENTIFIER || token.kind == TOKEN_IDENTIFIER_BNL ||
                token.kind == TOKEN_IDENTIFIER_DOL;
    PpMacro *macro = nullptr;
    if (name) {
        pp_convert_token(&token);
        if (token.kind == TOKEN_IDENTIFIER) macro = pp_lookup_macro(token.value);
    }
    if (macro == nullptr || !pp_directive_expansion_start(macro, token.position)) {
        pp_report(PP_MSG_BAD_HEADER_FORM, where);
        if (token.kind == TOKEN_NEWLINE) return OPERAND_OTHER;
        if (token.kind == TOKEN_END_OF_FILE) {
            si_back_up(1);
            return OPERAND_OTHER;
        }
        pp_skip_directive_rest();
        return OPERAND_OTHER;
    }
    NameSource source{where, true, Token{}};
    incl.header_length = 0;
    incl.header_too_long = false;
    const Token *first = pp_directive_expansion_next();
    OperandStart form = OPERAND_ANGLE;
    bool ended_line = false;
    switch (first->kind) {
    case TOKEN_FINISHED:
        // Nothing came out of the macro: the operand is read again from the line.
        return OPERAND_AGAIN;
    case TOKEN_LT:
    case TOKEN_LTEQ:
    case TOKEN_LTLT:
    case TOKEN_LTLTEQ:
        // The name's first characters may have been taken into the token: `<=`, `<<`, `<<=`.
        for (const char *p = spelling(first) + 1; *p != '\0'; ++p) append(*p);
        ended_line = !collect_name(&source, '>');
        break;
    case TOKEN_STRINGCONST: {
        form = OPERAND_QUOTE;
        const char *text = spelling(first);
        const char *after = nullptr;
        append_until(text + 1, '"', &after);
        break;
    }
    case ERROR_TOKEN: {
        const char *text = spelling(first);
        if (text[0] == '"' || text[0] == '<') {
            char closer = text[0] == '"' ? '"' : '>';
            form = text[0] == '"' ? OPERAND_QUOTE : OPERAND_ANGLE;
            const char *after = nullptr;
            if (append_until(text + 1, closer, &after)) {
                if (*after != '\0') pp_report(PP_MSG_AFTER_HEADER, where);
            } else {
                ended_line = !collect_name(&source, closer);
            }
            break;
        }
        [[fallthrough]];
    }
    default:
        pp_report(PP_MSG_BAD_HEADER_FORM, where);
        pp_directive_expansion_abandon();
        pp_skip_directive_rest();
        return OPERAND_OTHER;
    }
    incl.header[incl.header_length] = '\0';
    finish_macro_name(&source, ended_line);
    return form;
}

} // namespace

PpIncludeGuard *pp_include_guard(StreamHandle stream) {
    if (stream >= GUARD_COUNT) return nullptr;
    if (stream >= incl.guards_used) incl.guards_used = stream + 1u;
    return &incl.guards[stream];
}

void pp_include_reset() {
    for (std::uint32_t i = 0; i < incl.guards_used; ++i) incl.guards[i] = PpIncludeGuard{};
    incl.guards_used = 0;
    once_files.clear();
}

void pp_pragma_once() {
    struct stat info;
    if (::stat(si_stream_name(si_cursor.stream), &info) != 0) return;
    for (const OnceFile &file : once_files)
        if (file.device == info.st_dev && file.inode == info.st_ino) return;
    once_files.push_back(OnceFile{info.st_dev, info.st_ino});
}

const char *pp_header_name() { return incl.header; }

void pp_include_directive(Position where) {
    for (;;) {
        switch (operand_start(where, false)) {
        case OPERAND_END_OF_FILE: pp_report(PP_MSG_EOF_IN_DIRECTIVE, where); return;
        case OPERAND_LINE_END: pp_report(PP_MSG_INCLUDE_NO_ARGUMENT, where); return;
        case OPERAND_QUOTE:
            read_header_name('"', where, false);
            pp_check_directive_end();
            pp_find_quoted(where);
            return;
        case OPERAND_ANGLE:
            read_header_name('>', where, false);
            pp_check_directive_end();
            pp_find_angled(where);
            return;
        case OPERAND_OTHER:
        case OPERAND_AGAIN:
            switch (macro_form(where)) {
            case OPERAND_QUOTE: pp_find_quoted(where); return;
            case OPERAND_ANGLE: pp_find_angled(where); return;
            case OPERAND_AGAIN: continue;
            default: return;
            }
        }
    }
}

void pp_include_skipped() {
    switch (operand_start(POSITION_NULL, true)) {
    case OPERAND_END_OF_FILE:
    case OPERAND_LINE_END: return;
    case OPERAND_QUOTE: read_header_name('"', POSITION_NULL, true); break;
    case OPERAND_ANGLE: read_header_name('>', POSITION_NULL, true); break;
    case OPERAND_OTHER:
    case OPERAND_AGAIN: break;
    }
    pp_discard_directive_line();
}

void pp_find_quoted(Position where) {
    incl.angled = false;
    search(0, where);
}

// The -iquote directories (after slot 0) serve quoted names only.
void pp_find_angled(Position where) {
    incl.angled = true;
    search(user_defined_sys_include != 0 ? 1 + quote_include_count : -1, where);
}

bool pp_locate_file(const char *name, std::string *path) {
    std::size_t length = std::strlen(name);
    if (length == 0 || length >= HEADER_SIZE) return false;
    if (file_exists(name)) {
        *path = name;
        return true;
    }
    std::memcpy(incl.header, name, length + 1);
    incl.header_length = static_cast<std::uint32_t>(length);
    incl.header_too_long = false;
    incl.path[0] = '\0';
    incl.locating = true;
    search(0, POSITION_NULL);
    incl.locating = false;
    if (incl.path[0] == '\0' || !file_exists(incl.path)) return false;
    *path = incl.path;
    return true;
}

bool pp_include_file(const char *path) {
    StreamHandle handle = STREAM_NULL;
    return si_find_file(path, &handle) == SI_OK && pp_enter_file(path, handle);
}

bool pp_enter_file(const char *path, StreamHandle handle) {
    // A file skipped by its complete guard is still a dependency: a change to it may remove
    // the guard.
    record_include(path);
    const PpIncludeGuard *guard = pp_include_guard(handle);
    if (guard != nullptr && guard->complete != 0) return pp_reenter_guarded(path, handle);
    check_include_depth();
    if (si_include(handle) != SI_OK) return false;
    pp_push_file(path);
    pp_restore_current_dir();
    first_in_file = 1;
    return true;
}

bool pp_reenter_guarded(const char *path, StreamHandle handle) {
    const PpIncludeGuard *guard = pp_include_guard(handle);
    assert(guard != nullptr && guard->complete != 0 && "only complete guards come here");
    // The whole file is one group that a defined guard macro makes empty: nothing to read.
    if (guard->kind == PP_GUARD_IFNDEF && pp_lookup_macro(guard->name) != nullptr) return true;
    check_include_depth();
    if (si_include(handle) != SI_OK) return false;
    pp_push_file(path);
    pp_restore_current_dir();
    // The guard is already known: it must not be recorded a second time.
    first_in_file = 0;
    return true;
}

bool pp_directive_expansion_start(PpMacro *macro, Position call) {
    return pp_start_directive_expansion(macro, call);
}

// Out of line: #include and #line operands are rare, and inlined here this grew the scanning
// step's hot loop.
[[gnu::noinline]] const Token *pp_directive_expansion_next() {
    const Token *token = pp_expand_directive_next();
    // A used-up expansion is ended at once, so look-aheads cross line ends again.
    if (token->kind == TOKEN_FINISHED) pp_end_directive_expansion();
    return token;
}

void pp_directive_expansion_abandon() { pp_end_directive_expansion(); }

void pp_set_include_recorder(PpIncludeRecorder recorder) { include_recorder = recorder; }
