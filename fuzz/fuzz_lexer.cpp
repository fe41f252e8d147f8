// Fuzz target: the lexer over arbitrary bytes. The first byte chooses the rule set policy and
// whether Fortran literals and operators are read; the rest is a source file. Checked on every
// token: its kind is in range, it consumed input (only END-OF-FILE may be empty) and its line is
// one more than the newlines read before it; at the end, the lexemes put together give back the
// file as the stream layer delivers it (CR LF read as LF, 0 and 3 bytes dropped), and the run with
// the direct scan (of names, numbers, blanks, one-byte punctuators, Fortran literals and operators)
// turned off gives the same tokens at the same positions.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_harness.h"
#include "lexer/lexer.h"
#include "si/si.h"

namespace {

[[noreturn]] void invariant_broken(const char *what) {
    std::fprintf(stderr, "fuzz_lexer: %s\n", what);
    std::fflush(stderr);
    __builtin_trap();
}

// The bytes the stream layer hands over for `data`.
std::string delivered(const std::uint8_t *data, std::size_t size) {
    std::string text;
    text.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0 || data[i] == SI_END_OF_STREAM) continue;
        if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n') continue;
        text.push_back(static_cast<char>(data[i]));
    }
    return text;
}

struct LexRun {
    std::string path;
    std::uint8_t policy;
    std::string lexemes;
    std::uint32_t line = 1; // 1 + the newlines of the lexemes so far
    std::string tokens;     // kind, line and column of every token, as bytes
};

// Bit 1: Fortran literals; bit 2: Fortran operators. Set for each run, after the start-up.
int fortran_mode = 0;

void lex_file(void *argument) {
    auto *run = static_cast<LexRun *>(argument);
    fuzz_toolkit_up();
    lex_set_fortran_literals((fortran_mode & 1) != 0);
    lex_set_fortran_operators((fortran_mode & 2) != 0);
    StreamHandle handle = STREAM_NULL;
    if (si_find_stream(run->path.c_str(), &handle) != SI_OK || si_open_stream(handle) != SI_OK)
        invariant_broken("cannot open the input");
    // Policy 0: main_lexer throughout; 1: first_token_lexer throughout; 2: first_token_lexer
    // at each line start and main_lexer after it, as the scanning loop does.
    LexRuleSet start = run->policy == 0 ? LEX_MAIN_LEXER : LEX_FIRST_TOKEN_LEXER;
    lex_set_rule_set(start);
    for (;;) {
        TokenKind kind;
        Position position;
        lex_token(&kind, &position);
        if (kind > ERROR_TOKEN && kind != TOKEN_FORTRAN_OP)
            invariant_broken("token kind out of range");
        std::uint32_t length = si_mark_length();
        if (kind == TOKEN_END_OF_FILE) break;
        if (length == 0) invariant_broken("a token consumed no input");
        if (position.line != run->line) invariant_broken("a token's line is not its line");
        const char *text = reinterpret_cast<const char *>(si_mark_text());
        for (std::uint32_t i = 0; i < length; ++i) run->line += text[i] == '\n' ? 1 : 0;
        run->lexemes.append(text, length);
        run->tokens.append(reinterpret_cast<const char *>(&kind), sizeof kind);
        run->tokens.append(reinterpret_cast<const char *>(&position.line), sizeof position.line);
        run->tokens.append(reinterpret_cast<const char *>(&position.column),
                           sizeof position.column);
        if (run->policy == 2)
            lex_set_rule_set(kind == TOKEN_NEWLINE ? LEX_FIRST_TOKEN_LEXER : LEX_MAIN_LEXER);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return -1;
    int mark = fuzz_descriptor_mark();
    fortran_mode = data[0] / 3 % 4;
    LexRun run{fuzz_write_file("lex.F", data + 1, size - 1),
               static_cast<std::uint8_t>(data[0] % 3),
               {},
               1,
               {}};
    int status = fuzz_guarded(lex_file, &run);
    fuzz_toolkit_down();
    // The direct scan must cut the input exactly as the automaton does.
    LexRun automaton{run.path, run.policy, {}, 1, {}};
    lex_set_fast_scan(false);
    int automaton_status = fuzz_guarded(lex_file, &automaton);
    fuzz_toolkit_down();
    lex_set_fast_scan(true);
    if (automaton_status != status || automaton.lexemes != run.lexemes ||
        automaton.tokens != run.tokens)
        invariant_broken("the direct scan and the automaton give different tokens");
    std::string expected = delivered(data + 1, size - 1);
    // A run that ended through the fatal exit (a line too long to report, ...) saw a prefix.
    if (status == -1 && run.lexemes != expected)
        invariant_broken("the lexemes do not give back the input");
    if (status != -1 && expected.compare(0, run.lexemes.size(), run.lexemes) != 0)
        invariant_broken("the lexemes are not a prefix of the input");
    lex_set_fortran_literals(false);
    lex_set_fortran_operators(false);
    static const char *const keep[] = {"lex.F", nullptr};
    fuzz_check_clean(mark, keep);
    return 0;
}
