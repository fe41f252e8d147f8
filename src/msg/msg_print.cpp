// This file implements the printing of stored messages: one message laid out with the line
// format, the end-of-run listing on the standard error stream, and the plain fallback printer
// used when source lines cannot be re-read.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "msg/msg.h"

namespace {

constexpr const char *LINE_FORMAT = "** %s %i%l: %t.\n";
constexpr const char *FALLBACK_HEADING = "Printing messages without source lines due to internal error";
constexpr int PLAIN_CONTINUATION_BLANKS = 5;

// The location part of a message line: " on line %ld in %.20s" for a valid position.
void format_location(char *buffer, std::size_t size, Position pos) {
    buffer[0] = '\0';
    if (!position_is_valid(pos)) return;
    // TODO: name the file by its stream's base name once the stream table exists.
    char name[16];
    std::snprintf(name, sizeof name, "stream %u", static_cast<unsigned>(pos.stream));
    std::snprintf(buffer, size, " on line %" PRIu32 " in %.20s", pos.line, name);
}

void bind_message(const MsgStored &message) {
    char location[64];
    format_location(location, sizeof location, message.position);
    msg_param_char(msg_severity_letter(message.severity), 'c');
    msg_param_string(msg_severity_name(message.severity), 's');
    msg_param_string(msg_severity_upper_name(message.severity), 'S');
    msg_param_string(message.id, 'i');
    msg_param_string(message.text, 't');
    msg_param_string(location, 'l');
}

// Writes one message with the line format, wrapped at the message width, then a line feed.
void print_message(std::FILE *file, MsgStored &message) {
    if (message.severity == SEVERITY_NONE) {
        std::fputs(message.text, file);
    } else {
        bind_message(message);
        char laid_out[MSG_EXPANSION_SIZE];
        msg_wrap_text(msg_expand_params(LINE_FORMAT), laid_out, sizeof laid_out,
                      msg_get_limit(MSG_LIMIT_INDENT), msg_get_limit(MSG_LIMIT_WIDTH));
        std::fputs(laid_out, file);
    }
    std::fputc('\n', file);
    message.printed = 1;
}

// The plain printer's writer: hard wrap at the message width and at every line feed.
struct PlainWriter {
    std::FILE *file;
    int column = 0; // characters on the current line

    void new_line() {
        std::fputc('\n', file);
        for (int i = 0; i < PLAIN_CONTINUATION_BLANKS; ++i) std::fputc(' ', file);
        column = PLAIN_CONTINUATION_BLANKS;
    }
    void put(char c) {
        if (c == '\n') {
            new_line();
            return;
        }
        std::fputc(c, file);
        if (++column >= msg_get_limit(MSG_LIMIT_WIDTH)) new_line();
    }
    void put(const char *text) {
        while (*text != '\0') put(*text++);
    }
};

void print_plain_message(std::FILE *file, MsgStored &message) {
    if (message.severity == SEVERITY_NONE) {
        std::fputs(message.text, file);
    } else {
        PlainWriter writer{file};
        char location[64];
        format_location(location, sizeof location, message.position);
        for (const char *p = LINE_FORMAT; *p != '\0'; ++p) {
            if (*p == '%' && p[1] != '\0') {
                switch (*++p) {
                case 'S': writer.put(msg_severity_upper_name(message.severity)); break;
                case 'c': writer.put(msg_severity_letter(message.severity)); break;
                case 'i': writer.put(message.id); break;
                case 'l': writer.put(location); break;
                case 's': writer.put(msg_severity_name(message.severity)); break;
                case 't': writer.put(message.text); break;
                default: writer.put(*p); break;
                }
            } else if (*p == '\\' && p[1] != '\0') {
                ++p;
                if (*p == 'n')
                    writer.new_line();
                else
                    writer.put(*p == 't' ? '\t' : *p);
            } else {
                writer.put(*p);
            }
        }
    }
    std::fputc('\n', file);
    message.printed = 1;
}

} // namespace

const char *msg_line_format() { return LINE_FORMAT; }

void msg_print_plain(std::FILE *file, int all) {
    bool first = true;
    for (MsgStored *message = msg_first_stored(); message != nullptr; message = message->next) {
        if (!all && message->printed) continue;
        if (first) {
            std::fprintf(file, "\n%s.\n", FALLBACK_HEADING);
            first = false;
        }
        print_plain_message(file, *message);
    }
    std::fflush(file);
}

void msg_print_messages(std::FILE *file, int all) {
    if (msg_first_stored() == nullptr) return;
    MsgParamSave save;
    msg_save_params(&save);
    std::fputc('\n', file);
    // TODO: the source line with its caret line goes above each message once the stream table
    // can re-read source lines; until then the messages are printed on their own.
    for (MsgStored *message = msg_first_stored(); message != nullptr; message = message->next) {
        if (!all && message->printed) continue;
        print_message(file, *message);
    }
    msg_restore_params(&save);
    std::fflush(file);
}
