// This file implements message text expansion: the table of one-letter parameters, the
// expansion of templates into a fixed 1000-byte buffer with "..." truncation, saving and
// restoring the table around the printers, and the word wrapping of finished messages.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "fe/fe.h"
#include "mm/mm.h"
#include "msg/msg.h"
#include "msg/msg_internal.h"

namespace {

constexpr int SLOT_COUNT = MSG_PARAM_LAST - MSG_PARAM_FIRST + 1;
constexpr std::size_t EXPANSION_LIMIT = MSG_EXPANSION_SIZE - 1; // 999 characters
constexpr std::size_t CUT_LENGTH = EXPANSION_LIMIT - 3;         // 996 characters, then "..."

struct ExpansionState {
    MsgParamSlot slots[SLOT_COUNT] = {};
    char buffer[MSG_EXPANSION_SIZE] = {};
};

ExpansionState ex;

bool letter_in_range(int letter) { return letter >= MSG_PARAM_FIRST && letter <= MSG_PARAM_LAST; }

void free_slot(MsgParamSlot &slot) {
    if (slot.text != nullptr) mm_free_vblock(mm_general_pool(), slot.text);
    slot.text = nullptr;
    slot.length = 0;
}

void bind(const char *text, std::size_t length, int letter) {
    MsgParamSlot &slot = ex.slots[letter - MSG_PARAM_FIRST];
    free_slot(slot);
    auto *copy = static_cast<char *>(mm_get_vblock(mm_general_pool(), length + 1));
    if (copy == nullptr) return; // no block to be had: the escape expands to nothing
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    slot.text = copy;
    slot.length = static_cast<std::uint32_t>(length);
}

char *finish_cut(char *out) {
    std::memcpy(out, "...", 4);
    return out + 3;
}

bool is_break_char(char c) { return c == ' ' || c == '\t'; }

} // namespace

void msg_param_string(const char *text, int letter) {
    if (!letter_in_range(letter)) {
        std::fprintf(stderr, "Illegal second arg to msg_param_string(%s,%d)\n",
                     text != nullptr ? text : "", letter);
        fe_fatal_exit();
    }
    if (text == nullptr) text = "";
    bind(text, std::strlen(text), letter);
}

void msg_param_num(std::int32_t value, int letter) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%" PRId32, value);
    msg_param_string(digits, letter);
}

void msg_param_char(int character, int letter) {
    char text[2] = {static_cast<char>(character), '\0'};
    msg_param_string(text, letter);
}

const char *msg_expand_params(const char *templ) {
    char *const start = ex.buffer;
    char *out = start;
    const char *p = templ != nullptr ? templ : "";
    while (*p != '\0') {
        if (static_cast<std::size_t>(out - start) >= EXPANSION_LIMIT) {
            out = finish_cut(start + CUT_LENGTH);
            return start;
        }
        char c = *p++;
        if (c == '\\') {
            if (*p == '\0') break; // a lone backslash at the end has nothing to take
            char next = *p++;
            *out++ = next == 'n' ? '\n' : next == 't' ? '\t' : next;
            continue;
        }
        if (c != '%') {
            *out++ = c;
            continue;
        }
        char letter = *p;
        if (letter == '%') {
            ++p;
            *out++ = '%';
            continue;
        }
        if (!letter_in_range(static_cast<unsigned char>(letter))) {
            std::fprintf(stderr, "msg_expand_params: '%c' following %% in '%s'\n", letter, templ);
            if (letter == '\0') break; // never read past the end of the template
            ++p;
            continue;
        }
        ++p;
        const MsgParamSlot &slot = ex.slots[letter - MSG_PARAM_FIRST];
        if (slot.text == nullptr) continue;
        std::size_t used = static_cast<std::size_t>(out - start);
        if (used + slot.length >= EXPANSION_LIMIT) {
            std::size_t room = used < CUT_LENGTH ? CUT_LENGTH - used : 0;
            std::memcpy(out, slot.text, room);
            finish_cut(out + room);
            return start;
        }
        std::memcpy(out, slot.text, slot.length);
        out += slot.length;
    }
    *out = '\0';
    return start;
}

void msg_save_params(MsgParamSave *save) {
    std::memcpy(save->slots, ex.slots, sizeof ex.slots);
    std::memcpy(save->expansion, ex.buffer, sizeof ex.buffer);
    msg_clear_params();
}

void msg_restore_params(const MsgParamSave *save) {
    // The bindings made since the save belong to the table: free them before they are replaced.
    for (MsgParamSlot &slot : ex.slots) free_slot(slot);
    std::memcpy(ex.slots, save->slots, sizeof ex.slots);
    std::memcpy(ex.buffer, save->expansion, sizeof ex.buffer);
}

void msg_clear_params() {
    for (MsgParamSlot &slot : ex.slots) slot = MsgParamSlot{};
}

char *msg_wrap_text(const char *text, char *dest, std::size_t size, int indent, int width) {
    const char *src = text;
    char *out = dest;
    char *const limit = dest + size - 1; // the last byte is kept for the terminating 0
    int column = 1;                      // the column the next character would stand in
    const char *break_src = nullptr;     // the last blank or tab copied on this line
    char *break_out = nullptr;

    auto overflow = [&]() {
        char *cut = out < dest + size - 4 ? out : dest + size - 4;
        return finish_cut(cut);
    };

    for (;;) {
        char c = *src;
        if (c == '\0') {
            *out = '\0';
            return out;
        }
        bool line_ends = false;
        if (c == '\n') {
            ++src; // the line feed ends the line and is replaced by the line break below
            line_ends = true;
        } else if (column > width) {
            // The line is full: break at this blank, else at the last blank copied, else hard.
            if (is_break_char(c)) {
                ++src;
            } else if (break_src != nullptr) {
                src = break_src + 1;
                out = break_out;
            }
            line_ends = true;
        }
        if (!line_ends) {
            if (out >= limit) return overflow();
            if (is_break_char(c)) {
                break_src = src;
                break_out = out;
            }
            *out++ = c;
            ++src;
            ++column;
            continue;
        }
        int skipped = 0;
        while (is_break_char(*src)) {
            ++src;
            ++skipped;
        }
        int n = skipped > indent ? skipped : indent;
        bool more = *src != '\0';
        std::size_t needed = 1 + (more && n > 1 ? static_cast<std::size_t>(n - 1) : 0);
        if (out + needed > limit) return overflow();
        *out++ = '\n';
        if (more) {
            for (int i = 1; i < n; ++i) *out++ = ' ';
            column = n;
        } else {
            column = 1;
        }
        break_src = nullptr;
        break_out = nullptr;
    }
}

void msg_expand_reset() { ex = ExpansionState{}; }
