// This file implements the preprocessor's tables and stacks: its seven pools, the records kept
// in them, the token operations used by macro definition and expansion, the file inclusion,
// conditional and expansion stacks, and the macro table kept in the text table's info words.
#include <cassert>
#include <cstring>

#include "fe/fe.h"
#include "mm/mm.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"
#include "si/si.h"
#include "text/text.h"

namespace {

constexpr std::uint32_t block_size_of(std::size_t size) {
    return static_cast<std::uint32_t>((size + 7) / 8 * 8);
}

struct PoolRow {
    const char *name;
    std::uint32_t block_size;
    std::uint32_t chunk_size;
};

constexpr PoolRow pool_rows[] = {
#define PP_POOL(index, ident, name, record, blocks)                                                \
    {name, block_size_of(sizeof(record)), block_size_of(sizeof(record)) * (blocks)},
#include "pp/pp_pools.def"
#undef PP_POOL
};
static_assert(sizeof pool_rows / sizeof pool_rows[0] == 7, "the preprocessor has seven pools");
#define PP_POOL(index, ident, name, record, blocks) static_assert(ident == index);
#include "pp/pp_pools.def"
#undef PP_POOL

constexpr std::uint32_t NAME_FILTER_BITS = PP_NAME_FILTER_WORDS * 64;

struct TableState {
    PoolId pools[PP_POOL_COUNT] = {};
    bool open = false;
    Token *null_token = nullptr;
    Token *finished_token = nullptr;
    PpFileRecord *file_top = nullptr;
    PpConditional *conditional_top = nullptr;
    PpFrame *expansion = nullptr;    // the main expansion context
    std::uint32_t aux_tokens = 0;    // aux tokens made since the expansion pools were last reset
    std::uint32_t shared_tokens = 0; // argument tokens shared instead of copied, since then
    // One bit per hash of every macro name defined since the tables were opened; #undef
    // leaves its bit, which only costs a lookup.
    std::uint64_t name_filter[NAME_FILTER_BITS / 64] = {};
    // The first filter, cheaper still: see pp_macro_name_shapes.
    std::uint32_t name_shapes[256] = {};
};

// The aux tokens and argument records one expansion may make before the run ends with "macro
// expansion too large". They are only released when the expansion is over, so a macro whose
// expansion doubles at each level would otherwise take memory until the host has none left.
// About 200 MB; no real source comes near it. An expansion on a directive line also counts the
// tokens it delivers: they are consumed there, not written, so a doubling macro made of bodies
// alone would otherwise run for days in constant memory.
constexpr std::uint32_t AUX_TOKEN_LIMIT = std::uint32_t{1} << 23;

// The argument tokens one expansion may read again without copying them: they take no memory,
// but reading them is the work of calls nested in arguments (each level reads its argument
// again) and of doubling macros whose calls take long arguments. The limit keeps that work to
// a few seconds, and is far enough from the counts of arguments nested 2000 deep (the deepest
// allowed) that such calls in lines up to about 40 KB reach "macro arguments nested too
// deeply" first.
constexpr std::uint32_t SHARED_TOKEN_LIMIT = std::uint32_t{1} << 26;

TableState tables;

// Counts the changes to the macro table, so that what was found about a definition can be kept
// until the next change (pp_macro_table_changes). Never reset: numbers are not used twice in a
// process, whatever records the pools hand out again.
std::uint32_t macro_table_changes = 1;

[[noreturn]] void expansion_too_large() {
    pp_report(PP_MSG_EXPANSION_TOO_LARGE, si_current_position());
    fe_fatal_exit();
}

// A pool that cannot supply a block is an internal fault: the pools grow on demand, so it
// only happens when the host heap is gone.
void *get_block(PpPoolIndex index) {
    if (index == PP_POOL_AUX_TOKENS && ++tables.aux_tokens > AUX_TOKEN_LIMIT) [[unlikely]]
        expansion_too_large();
    void *block = mm_get_fblock(tables.pools[index]);
    if (block == nullptr) [[unlikely]]
        fe_internal_error();
    return block;
}

Token *make_token(PpPoolIndex pool, TokenKind kind, std::int32_t value) {
    auto *token = static_cast<Token *>(get_block(pool));
    token->kind = kind;
    // The charize and stringize kinds carry a formal parameter number, never more than 16 bits.
    token->value = kind == TOKEN_STRINGIZE || kind == TOKEN_CHARIZE
                       ? static_cast<std::int32_t>(static_cast<std::uint16_t>(value))
                       : value;
    // The caller sets spaced and formal_index; they start defined all the same ("not looked up").
    token->spaced = 0;
    token->formal_index = -1;
    token->no_expand = 0;
    token->next = nullptr;
    return token;
}

Token *make_value_token(PpPoolIndex pool, std::int32_t value) {
    auto *token = static_cast<Token *>(get_block(pool));
    token->kind = TOKEN_NULL; // the caller sets kind and spaced
    token->value = value;
    token->spaced = 0;
    token->formal_index = 0;
    token->no_expand = 0;
    token->next = nullptr;
    return token;
}

PpMacro *make_macro(TextHandle name, Position position) {
    auto *macro = static_cast<PpMacro *>(get_block(PP_POOL_MACROS));
    macro->name = name;
    macro->position = position;
    macro->reserved = 0;
    macro->n_formals = -1;
    macro->formals = nullptr;
    macro->body = nullptr;
    macro->predefined = 0;
    macro->error_in_defn = 0;
    macro->state = NOT_PROCESSING_BODY;
    macro->variadic = 0;
    macro->direct = 0;
    macro->direct_checked = 0;
    macro->direct_form = 0;
    return macro;
}

constexpr Position POSITION_ZERO{0, 0, 0};

// A body that starts with the left operand of `##` starts with its marker, which the walk
// skips: the blank of the macro name goes to the operand after it (a copy, since the body is
// shared), and so to the pasted result. Out of line: the marker rarely comes first.
[[gnu::noinline]] void mark_paste_operand(Token *marker) {
    if (marker->next == nullptr) return;
    Token *operand = pp_copy_token(marker->next);
    operand->spaced = 1;
    marker->next = operand;
}

} // namespace

// ---- Pools ----------------------------------------------------------------------------------

void pp_tables_open() {
    if (tables.open) return;
    tables = TableState{};
    for (int i = 0; i < PP_POOL_COUNT; ++i)
        tables.pools[i] = mm_open_pool(pool_rows[i].name, pool_rows[i].block_size,
                                       pool_rows[i].chunk_size, 1 | MM_KEEP_CHUNK);
    tables.open = true;
    tables.null_token = make_token(PP_POOL_TOKENS, TOKEN_NULL, TEXT_NULL);
    tables.null_token->formal_index = 0;
    tables.finished_token = make_token(PP_POOL_TOKENS, TOKEN_FINISHED, TEXT_NULL);
    tables.finished_token->formal_index = 0;
}

void pp_tables_close() {
    if (!tables.open) return;
    for (PoolId &pool : tables.pools) mm_close_pool(pool);
    tables = TableState{};
}

bool pp_tables_are_open() { return tables.open; }

void pp_reset_expansion_pools() {
    // The pools keep a chunk each: expansions follow one another by the thousand.
    mm_empty_pool(tables.pools[PP_POOL_AUX_TOKENS]);
    mm_empty_pool(tables.pools[PP_POOL_ACTUALS]);
    tables.aux_tokens = 0;
    tables.shared_tokens = 0;
}

PoolId pp_pool(PpPoolIndex index) { return tables.pools[index]; }

void pp_count_shared_token() {
    if (++tables.shared_tokens > SHARED_TOKEN_LIMIT) [[unlikely]]
        expansion_too_large();
}

void pp_count_expansion_token() {
    if (++tables.aux_tokens > AUX_TOKEN_LIMIT) [[unlikely]]
        expansion_too_large();
}

Token *pp_null_token() { return tables.null_token; }
Token *pp_finished_token() { return tables.finished_token; }

// ---- Tokens ---------------------------------------------------------------------------------

Token *pp_new_token(TokenKind kind, std::int32_t value) {
    return make_token(PP_POOL_TOKENS, kind, value);
}

Token *pp_new_aux_token(TokenKind kind, std::int32_t value) {
    return make_token(PP_POOL_AUX_TOKENS, kind, value);
}

Token *pp_new_value_token(std::int32_t value) { return make_value_token(PP_POOL_TOKENS, value); }

Token *pp_new_aux_value_token(std::int32_t value) {
    return make_value_token(PP_POOL_AUX_TOKENS, value);
}

Token *pp_new_aux_blank_token() { return make_value_token(PP_POOL_AUX_TOKENS, TEXT_NULL); }

Token *pp_new_aux_string_token() {
    Token *token = make_value_token(PP_POOL_AUX_TOKENS, TEXT_NULL);
    token->kind = TOKEN_STRINGCONST;
    return token;
}

Token *pp_copy_token(const Token *token) {
    auto *copy = static_cast<Token *>(get_block(PP_POOL_AUX_TOKENS));
    *copy = *token;
    return copy;
}

Token *pp_copy_token_fresh(const Token *token) {
    auto *copy = static_cast<Token *>(get_block(PP_POOL_AUX_TOKENS));
    copy->kind = token->kind;
    copy->value = token->value;
    copy->spaced = token->spaced;
    copy->formal_index = 0;
    copy->no_expand = token->no_expand;
    copy->next = nullptr;
    return copy;
}

Token *pp_no_expand_token(Token *token) {
    if (token->no_expand == 1) return token;
    Token *copy = pp_copy_token(token);
    copy->no_expand = 1;
    return copy;
}

void pp_mark_spaced(Token **place, std::uint8_t flag) {
    if (flag != 1 || (*place)->kind == TOKEN_NULL) return;
    // The token may be shared with a macro body: the copy takes the flag, the original keeps its.
    Token *copy = pp_copy_token(*place);
    copy->spaced = 1;
    if (copy->kind == TOKEN_LOOKAHEAD) [[unlikely]]
        mark_paste_operand(copy);
    *place = copy;
}

Token *pp_free_token(Token *token) {
    if (token == nullptr) return nullptr;
    Token *next = token->next;
    mm_free_fblock(tables.pools[PP_POOL_TOKENS], token);
    return next;
}

Token *pp_free_aux_token(Token *token) {
    if (token == nullptr) return nullptr;
    Token *next = token->next;
    mm_free_fblock(tables.pools[PP_POOL_AUX_TOKENS], token);
    return next;
}

Token *pp_reverse_tokens(Token *list) {
    Token *reversed = nullptr;
    while (list != nullptr) {
        Token *next = list->next;
        list->next = reversed;
        reversed = list;
        list = next;
    }
    return reversed;
}

// ---- Stacks ---------------------------------------------------------------------------------

PpFileRecord *pp_file_top() { return tables.file_top; }
PpConditional *pp_conditional_top() { return tables.conditional_top; }
PpFrame **pp_expansion_context() { return &tables.expansion; }

void pp_push_file(const char *name) {
    std::size_t length = std::strlen(name);
    // Room for a backslash before every byte, the two quotes and the NUL; on the stack for
    // every name a path buffer holds, so an #include costs no general-pool block.
    char local[2 * 1024 + 3];
    std::size_t size = 2 * length + 3;
    auto *quoted =
        size <= sizeof local ? local : static_cast<char *>(mm_get_vblock(mm_general_pool(), size));
    char *out = quoted;
    *out++ = '"';
    for (const char *p = name; *p != '\0'; ++p) {
        // A line feed would end the marker line, and the string of __FILE__, in the middle: it
        // is written as \n whatever esc_filename says.
        if (*p == '\n') {
            *out++ = '\\';
            *out++ = 'n';
            continue;
        }
        if (esc_filename != 0 && (*p == '"' || *p == '\\')) *out++ = '\\';
        *out++ = *p;
    }
    *out++ = '"';
    auto *record = static_cast<PpFileRecord *>(get_block(PP_POOL_FILES));
    record->filename = text_enter(quoted, static_cast<std::uint32_t>(out - quoted));
    record->actual_file = text_enter(name, static_cast<std::uint32_t>(length));
    record->line_offset = 0;
    record->fixed_form =
        pp_form_for(name, tables.file_top != nullptr ? tables.file_top->fixed_form : 0);
    record->previous = tables.file_top;
    tables.file_top = record;
    if (quoted != local) mm_free_vblock(mm_general_pool(), quoted);
}

void pp_pop_file() {
    PpFileRecord *record = tables.file_top;
    assert(record != nullptr && "a file record is popped only for a file that was pushed");
    tables.file_top = record->previous;
    mm_free_fblock(tables.pools[PP_POOL_FILES], record);
}

PpConditional *pp_push_conditional() {
    auto *record = static_cast<PpConditional *>(get_block(PP_POOL_CONDITIONALS));
    PpConditional *below = tables.conditional_top;
    record->pp_include = below != nullptr ? below->pp_include : 1;
    record->local_state = HAVE_NOT_SEEN_TRUE_CONDITION;
    record->position = POSITION_ZERO;
    record->first_in_file = 0;
    record->previous = below;
    tables.conditional_top = record;
    return record;
}

void pp_pop_conditional() {
    PpConditional *record = tables.conditional_top;
    assert(record != nullptr && "a conditional is popped only when one is open");
    tables.conditional_top = record->previous;
    mm_free_fblock(tables.pools[PP_POOL_CONDITIONALS], record);
}

PpFrame *pp_new_frame(PpMacro *macro) {
    auto *frame = static_cast<PpFrame *>(get_block(PP_POOL_EXPANSIONS));
    frame->macro = macro;
    frame->body_cursor = nullptr;
    frame->body_end = nullptr;
    frame->actuals = nullptr;
    frame->actuals_cursor = nullptr; // actuals_end is set with it, and only read while it is set
    frame->top_of_stack = nullptr;
    frame->previous = nullptr;
    return frame;
}

PpActual *pp_new_actual() {
    // Argument records count with the aux tokens: calls with empty arguments make no token.
    if (++tables.aux_tokens > AUX_TOKEN_LIMIT) [[unlikely]]
        expansion_too_large();
    auto *actual = static_cast<PpActual *>(get_block(PP_POOL_ACTUALS));
    actual->next = nullptr;
    actual->tokens = nullptr;
    actual->end = nullptr;
    actual->plain = 0;
    return actual;
}

PpActual *pp_nth_actual_record(PpActual *list, int n) {
    for (int i = 1; list != nullptr && i < n; ++i) list = list->next;
    return list;
}

Token *pp_nth_actual(PpActual *list, int n) {
    PpActual *actual = pp_nth_actual_record(list, n);
    return actual != nullptr ? actual->tokens : nullptr;
}

// ---- The macro table ------------------------------------------------------------------------

PpMacro *pp_lookup_macro(TextHandle name) {
    if (name == TEXT_NULL) return nullptr;
    return static_cast<PpMacro *>(text_info(name));
}

namespace {
void note_macro_name(TextHandle name) {
    const auto *text = reinterpret_cast<const unsigned char *>(text_string(name));
    std::uint32_t length = text_length(name);
    pp_filters_add(tables.name_shapes, tables.name_filter, text, length);
    pp_plain_note_macro_name(text, length);
}
} // namespace

const std::uint32_t *pp_macro_name_shapes() { return tables.name_shapes; }

void pp_copy_name_filters(std::uint32_t *shapes, std::uint64_t *filter) {
    std::memcpy(shapes, tables.name_shapes, sizeof tables.name_shapes);
    std::memcpy(filter, tables.name_filter, sizeof tables.name_filter);
}

bool pp_may_name_macro(const unsigned char *text, std::uint32_t length) {
    return pp_filters_may_name(tables.name_shapes, tables.name_filter, text, length);
}

TextHandle pp_macro_name_handle(const unsigned char *text, std::uint32_t length) {
    if (!pp_may_name_macro(text, length)) return TEXT_NULL;
    TextHandle handle = text_find(reinterpret_cast<const char *>(text), length);
    return pp_lookup_macro(handle) != nullptr ? handle : TEXT_NULL;
}

std::uint32_t pp_macro_table_changes() { return macro_table_changes; }

void pp_note_macro_table_change() {
    // 0 marks a definition never looked at.
    if (++macro_table_changes == 0) macro_table_changes = 1;
}

PpMacro *pp_new_macro(TextHandle name, Position position) {
    pp_note_macro_table_change();
    note_macro_name(name);
    PpMacro *macro = make_macro(name, position);
    text_set_info(name, macro);
    return macro;
}

PpMacro *pp_new_predefined_macro(TextHandle name) {
    pp_note_macro_table_change();
    note_macro_name(name);
    PpMacro *macro = make_macro(name, POSITION_ZERO);
    macro->predefined = 1;
    text_set_info(name, macro);
    return macro;
}

PpMacro *pp_new_pseudo_macro() { return make_macro(TEXT_NULL, POSITION_ZERO); }

void pp_install_macro(TextHandle name, PpMacro *macro) {
    pp_note_macro_table_change();
    note_macro_name(name);
    macro->name = name;
    macro->state = NOT_PROCESSING_BODY;
    text_set_info(name, macro);
}

void pp_delete_macro(TextHandle name) {
    PpMacro *macro = pp_lookup_macro(name);
    if (macro == nullptr) return;
    pp_note_macro_table_change();
    mm_free_fblock(tables.pools[PP_POOL_MACROS], macro);
    text_set_info(name, nullptr);
}

PpFrame *pp_new_argument_frame(PpActual *actuals, int n, std::uint8_t spaced) {
    PpMacro *pseudo = pp_new_pseudo_macro();
    PpActual *actual = pp_nth_actual_record(actuals, n);
    pseudo->body = actual != nullptr ? actual->tokens : nullptr;
    // An argument missing from the list has no token to carry the flag; its body is empty. An
    // empty argument is the shared null token, which delivers nothing and is never changed.
    if (pseudo->body != nullptr && pseudo->body->kind != TOKEN_NULL) pseudo->body->spaced = spaced;
    PpFrame *frame = pp_new_frame(pseudo);
    frame->body_cursor = pseudo->body;
    if (actual != nullptr) frame->body_end = actual->end;
    return frame;
}
