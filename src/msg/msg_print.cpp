// This file implements the printing of stored messages: the end-of-run listing on the standard
// error stream with each message under a copy of its source line and a caret line, the paged
// list-file listing of the main source file, and the plain fallback printer used when source
// lines cannot be re-read.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "fe/fe.h"
#include "mm/mm.h"
#include "msg/msg.h"
#include "msg/msg_internal.h"

namespace {

constexpr const char *LINE_FORMAT = "** %s %i%l: %t.\n";
constexpr const char *FALLBACK_HEADING =
    "Printing messages without source lines due to internal error";
constexpr const char *CARET_PREFIX = "      \t"; // the width of the "%5ld:\t" number field
constexpr int SEPARATOR_WIDTH = 72;
constexpr int PLAIN_CONTINUATION_BLANKS = 5;
constexpr std::uint32_t PAGE_LENGTH = 54;
constexpr int FORMAT_FIRST_HEADER = 9;
constexpr int FORMAT_SECOND_HEADER = 10;
// The most columns of a source line that the listing shows; a longer line is cut there and ends
// in "...", and a caret for a column past the cut stands under the first dot.
constexpr std::uint32_t SOURCE_WIDTH = 512;
constexpr char CUT_MARK[] = "...";

struct PrintState {
    // Page state, shared by the standard-error listing and the list file.
    std::uint32_t page_lines = 0;       // lines on the current page, header included
    std::uint32_t page_number = 0;      // pages started; printed plus one
    std::uint32_t header_feeds[2] = {}; // embedded line feeds of the two header lines
    bool first_page = false;            // no form feed before the first page
    bool paging = false;                // set while the list file is written
    char *header[2] = {};               // formats kinds 9 and 10 (owned copies)
    // The stream and output file of the last file heading, so that a heading is repeated only
    // when either changes.
    std::uint32_t heading_stream = 0xFFFFFFFFu;
    std::FILE *heading_file = nullptr;
};

PrintState pr;

// The stream layer's reading (msg_set_source_reader); kept over msg_reset, like the wiring of
// the other hooks.
const MsgSourceReader *source = nullptr;

const char *source_name(std::uint32_t stream) {
    return source != nullptr ? source->stream_name(static_cast<StreamHandle>(stream)) : "";
}

const char *source_base_name(std::uint32_t stream) {
    return source != nullptr ? source->stream_base_name(static_cast<StreamHandle>(stream)) : "";
}

bool open_source() { return source != nullptr && source->open(); }

std::uint32_t header_size() { return pr.header_feeds[0] + pr.header_feeds[1] + 3; }

// Writes text and counts its line feeds toward the page.
void emit(std::FILE *file, const char *text) {
    for (const char *p = text; *p != '\0'; ++p)
        if (*p == '\n') ++pr.page_lines;
    std::fputs(text, file);
}

void emit_char(std::FILE *file, int c) {
    if (c == '\n') ++pr.page_lines;
    std::fputc(c, file);
}

// The location part of a message line: " on line %ld in %.20s" for a valid position.
void format_location(char *buffer, std::size_t size, Position pos) {
    buffer[0] = '\0';
    if (!position_is_valid(pos)) return;
    std::snprintf(buffer, size, " on line %" PRIu32 " in %.20s", pos.line,
                  source_base_name(pos.stream));
}

// Writes one message with the line format, wrapped at the message width, then a line feed.
void print_message(std::FILE *file, MsgStored &message) {
    if (message.severity == SEVERITY_NONE) {
        emit(file, message.text);
    } else {
        char location[64];
        format_location(location, sizeof location, message.position);
        msg_param_char(msg_severity_letter(message.severity), 'c');
        msg_param_string(msg_severity_name(message.severity), 's');
        msg_param_string(msg_severity_upper_name(message.severity), 'S');
        msg_param_string(message.id, 'i');
        msg_param_string(message.text, 't');
        msg_param_string(location, 'l');
        char laid_out[MSG_EXPANSION_SIZE];
        msg_wrap_text(msg_expand_params(LINE_FORMAT), laid_out, sizeof laid_out,
                      msg_get_limit(MSG_LIMIT_INDENT), msg_get_limit(MSG_LIMIT_WIDTH));
        emit(file, laid_out);
    }
    emit_char(file, '\n');
    message.printed = 1;
}

bool same_line(const MsgStored *a, const MsgStored *b) {
    return a->position.stream == b->position.stream && a->position.line == b->position.line;
}

bool wanted(const MsgStored *message, int all) { return all || !message->printed; }

// Writes the header of a new page: a form feed (not before the first page), the first header
// line with the page number, then the second framed by empty lines.
void start_page(std::FILE *file) {
    if (pr.page_lines == header_size()) return; // the page is still empty
    if (pr.first_page)
        pr.first_page = false;
    else
        std::fputc('\f', file);
    // The first header line holds "%ld" for the page number and "%%" for a percent sign.
    for (const char *p = pr.header[0] != nullptr ? pr.header[0] : ""; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == '%') {
            std::fputc('%', file);
            ++p;
        } else if (std::strncmp(p, "%ld", 3) == 0) {
            std::fprintf(file, "%" PRIu32, pr.page_number + 1);
            p += 2;
        } else {
            std::fputc(*p, file);
        }
    }
    std::fprintf(file, "\n%s\n\n", pr.header[1] != nullptr ? pr.header[1] : "");
    pr.page_lines = header_size();
    ++pr.page_number;
}

Position line_start(std::uint32_t line, std::uint32_t stream) {
    return Position{line, 1, static_cast<std::uint16_t>(stream)};
}

// Copies the current source line, numbered, up to and including its line feed; the end byte
// stands for a last line feed. A line of more than SOURCE_WIDTH bytes is cut there and ends in
// CUT_MARK; the rest of it is read over, so that the read point ends at the next line either
// way. Returns false when the line ended the stream.
bool write_numbered_line(std::FILE *file, std::uint32_t line) {
    if (pr.paging && pr.page_lines >= PAGE_LENGTH) start_page(file);
    std::fprintf(file, "%5" PRIu32 ":\t", line);
    // Collected in one piece: standard error is unbuffered, and a byte at a time would make one
    // system call per byte.
    char piece[SOURCE_WIDTH + sizeof CUT_MARK + 1];
    std::size_t used = 0;
    int c;
    while ((c = source->get_char()) != '\n' && c != MSG_SOURCE_END) {
        if (used < SOURCE_WIDTH) {
            piece[used++] = static_cast<char>(c);
        } else if (used == SOURCE_WIDTH) {
            std::memcpy(piece + used, CUT_MARK, sizeof CUT_MARK - 1);
            used += sizeof CUT_MARK - 1;
        }
    }
    piece[used++] = '\n';
    std::fwrite(piece, 1, used, file);
    ++pr.page_lines;
    return c != MSG_SOURCE_END;
}

// Writes the caret line for the messages at the line of `first` (and those after it in the
// store on the same line). The read point is at the start of that line.
void write_caret_line(std::FILE *file, MsgStored *first, int all) {
    emit(file, CARET_PREFIX);
    std::uint32_t column = 1;
    bool line_ended = false;
    for (MsgStored *m = first; m != nullptr && same_line(m, first); m = m->next) {
        if (!wanted(m, all)) continue;
        std::uint32_t target = m->position.column;
        if (target > SOURCE_WIDTH + 1) target = SOURCE_WIDTH + 1;
        while (!line_ended && column < target) {
            int c = source->get_char();
            if (c == '\n' || c == MSG_SOURCE_END) {
                line_ended = true;
                break;
            }
            std::fputc(c == '\t' ? '\t' : ' ', file);
            ++column;
        }
        std::fputc('^', file);
        if (!line_ended && column == target) {
            // The caret stands for this column's byte: step over it, keeping a tab a tab.
            int c = source->get_char();
            if (c == '\n' || c == MSG_SOURCE_END) {
                line_ended = true;
            } else {
                if (c == '\t') std::fputc('\t', file);
                ++column;
            }
        }
    }
    emit_char(file, '\n');
}

// Writes the source line of `first` with its carets. False when the line cannot be reached.
bool write_source_line(std::FILE *file, MsgStored *first, int all) {
    Position start = line_start(first->position.line, first->position.stream);
    if (!source->seek(start)) return false;
    write_numbered_line(file, start.line);
    if (!source->seek(start)) return true;
    write_caret_line(file, first, all);
    return true;
}

void write_separator_and_heading(std::FILE *file, std::uint32_t stream) {
    char separator[SEPARATOR_WIDTH + 2];
    std::memset(separator, '-', SEPARATOR_WIDTH);
    separator[SEPARATOR_WIDTH] = '\n';
    separator[SEPARATOR_WIDTH + 1] = '\0';
    emit(file, separator);
    emit(file, source_name(stream));
    emit(file, ":\n");
    pr.heading_stream = stream;
    pr.heading_file = file;
}

void write_unreadable(std::FILE *file, std::uint32_t stream) {
    msg_param_string(source_name(stream), 's');
    emit(file, msg_expand_params(msg_catalogue_text(MSG_2CANTREAD)));
    emit_char(file, '\n');
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

// ---- The one-line format of --diagnostics=gnu -----------------------------------------------

constexpr std::uint32_t GNU_SOURCE_WIDTH = 512; // a longer source line is cut, with "..."

const char *gnu_severity(Severity severity) {
    if (severity >= SEVERITY_ERROR) return "error";
    if (severity == SEVERITY_INFORMATION) return "note";
    return "warning";
}

// The message text on one line: its line feeds and tabs become blanks.
void put_one_line(std::FILE *file, const char *text) {
    for (const char *p = text; *p != '\0'; ++p)
        std::fputc(*p == '\n' || *p == '\t' || *p == '\r' ? ' ' : *p, file);
}

// The source line of `pos` as GCC shows it (" %5u | text"), then its caret line ("      | ",
// the line's blanks and tabs up to the column, '^'). Nothing when the line cannot be re-read.
void write_gnu_source(std::FILE *file, Position pos) {
    Position start = line_start(pos.line, pos.stream);
    if (!source->seek(start)) return;
    char text[GNU_SOURCE_WIDTH + 1];
    std::uint32_t length = 0;
    bool cut = false;
    for (;;) {
        int c = source->get_char();
        if (c == '\n' || c == MSG_SOURCE_END) break;
        if (length == GNU_SOURCE_WIDTH) {
            cut = true;
            continue;
        }
        text[length++] = static_cast<char>(c);
    }
    std::fprintf(file, " %5" PRIu32 " | ", pos.line);
    std::fwrite(text, 1, length, file);
    if (cut) std::fputs("...", file);
    std::fputs("\n      | ", file);
    for (std::uint32_t column = 1; column < pos.column && column <= length; ++column)
        std::fputc(text[column - 1] == '\t' ? '\t' : ' ', file);
    std::fputs("^\n", file);
}

void print_gnu_message(std::FILE *file, MsgStored &message, bool with_source) {
    message.printed = 1;
    if (message.severity == SEVERITY_NONE) {
        put_one_line(file, message.text);
        std::fputc('\n', file);
        return;
    }
    bool placed = position_is_valid(message.position);
    if (placed)
        std::fprintf(file, "%s:%" PRIu32 ":%" PRIu32 ": ", source_name(message.position.stream),
                     message.position.line, message.position.column);
    else
        std::fputs("tfpp: ", file);
    std::fprintf(file, "%s: ", gnu_severity(message.severity));
    put_one_line(file, message.text);
    std::fputc('\n', file);
    if (placed && with_source) write_gnu_source(file, message.position);
}

// Writes the messages of the list file that match `pick`, in store order.
template <typename Pick> void list_messages(std::FILE *file, Pick pick) {
    for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next)
        if (pick(m)) print_message(file, *m);
}

} // namespace

char *msg_set_format(int kind, const char *text) {
    if (kind != FORMAT_FIRST_HEADER && kind != FORMAT_SECOND_HEADER) return nullptr;
    int index = kind - FORMAT_FIRST_HEADER;
    std::size_t length = std::strlen(text);
    auto *copy = static_cast<char *>(mm_get_vblock(mm_general_pool(), length + 1));
    std::memcpy(copy, text, length + 1);
    // Only line feeds followed by more text add lines to the page header.
    std::uint32_t feeds = 0;
    for (std::size_t i = 0; i + 1 < length; ++i)
        if (text[i] == '\n') ++feeds;
    pr.header_feeds[index] = feeds;
    char *previous = pr.header[index];
    pr.header[index] = copy;
    return previous;
}

void msg_print_plain(std::FILE *file, int all) {
    bool first = true;
    for (MsgStored *message = msg_first_stored(); message != nullptr; message = message->next) {
        if (!wanted(message, all)) continue;
        if (first) {
            std::fprintf(file, "\n%s.\n", FALLBACK_HEADING);
            first = false;
        }
        if (position_is_valid(message->position) &&
            (message->position.stream != pr.heading_stream || file != pr.heading_file))
            write_separator_and_heading(file, message->position.stream);
        print_plain_message(file, *message);
    }
    std::fflush(file);
}

void msg_print_gnu(std::FILE *file, int all) {
    if (msg_first_stored() == nullptr) return;
    bool readable = open_source();
    for (MsgStored *message = msg_first_stored(); message != nullptr; message = message->next) {
        // Without a stream to re-read the lines with, the message lines alone.
        if (wanted(message, all)) print_gnu_message(file, *message, readable);
    }
    if (readable) source->close();
    std::fflush(file);
}

void msg_print_messages(std::FILE *file, int all) {
    if (msg_first_stored() == nullptr) return;
    if (msg_gnu_diagnostics()) {
        msg_print_gnu(file, all);
        return;
    }
    if (!open_source()) {
        msg_print_plain(file, all);
        return;
    }
    source->set_listing(true);
    MsgParamSave save;
    msg_save_params(&save);
    emit_char(file, '\n');
    std::uint32_t unreadable_stream = 0xFFFFFFFFu;
    MsgStored *message = msg_first_stored();
    while (message != nullptr) {
        if (!wanted(message, all)) {
            message = message->next;
            continue;
        }
        if (!position_is_valid(message->position)) {
            print_message(file, *message);
            message = message->next;
            continue;
        }
        std::uint32_t stream = message->position.stream;
        if (stream != pr.heading_stream || file != pr.heading_file)
            write_separator_and_heading(file, stream);
        if (write_source_line(file, message, all)) {
            unreadable_stream = 0xFFFFFFFFu;
        } else if (unreadable_stream != stream) {
            write_unreadable(file, stream);
            unreadable_stream = stream;
        }
        MsgStored *first = message;
        for (; message != nullptr && same_line(message, first); message = message->next)
            if (wanted(message, all)) print_message(file, *message);
    }
    source->set_listing(false);
    source->close();
    msg_restore_params(&save);
    std::fflush(file);
}

void msg_list_file(StreamHandle main_stream, std::FILE *file) {
    if (pr.header[0] == nullptr) {
        char first_header[64];
        std::snprintf(first_header, sizeof first_header, "%s\t\t\tpage: %%ld", fe_date_text());
        msg_set_format(FORMAT_FIRST_HEADER, first_header);
    }
    // The list file always starts with the header of its page 1, whatever the standard-error
    // listing counted before.
    pr.first_page = true;
    pr.page_number = 0;
    pr.page_lines = 0;
    if (!open_source()) {
        fe_report(MSG_5STREAMOVF, POSITION_NULL);
        return;
    }
    source->set_listing(true);
    MsgParamSave save;
    msg_save_params(&save);
    pr.paging = true;

    const char *name = source_name(main_stream);
    std::size_t length = std::strlen(name);
    auto *second_header = static_cast<char *>(mm_get_vblock(mm_general_pool(), length + 7));
    std::memcpy(second_header, "File: ", 6);
    std::memcpy(second_header + 6, name, length + 1);
    char *previous = msg_set_format(FORMAT_SECOND_HEADER, second_header);
    if (previous != nullptr) mm_free_vblock(mm_general_pool(), previous);
    mm_free_vblock(mm_general_pool(), second_header);
    start_page(file);

    list_messages(file, [](const MsgStored *m) {
        return m->position.stream == STREAM_NULL && m->position.line == 0;
    });

    std::uint32_t line = 1;
    if (!source->seek(line_start(line, main_stream))) {
        msg_param_string(name, 's');
        fe_report(MSG_2CANTREAD, POSITION_NULL);
    } else {
        // Messages of the main stream are in store order, so one pointer walks along.
        MsgStored *next = msg_first_stored();
        auto skip_before = [&](std::uint32_t at) {
            while (next != nullptr &&
                   (next->position.stream < main_stream ||
                    (next->position.stream == main_stream && next->position.line < at)))
                next = next->next;
        };
        for (;;) {
            skip_before(line);
            bool has_messages = next != nullptr && next->position.stream == main_stream &&
                                next->position.line == line;
            if (!has_messages) {
                if (!write_numbered_line(file, line)) break;
                ++line;
                continue;
            }
            Position start = line_start(line, main_stream);
            bool more = write_numbered_line(file, line);
            if (source->seek(start)) write_caret_line(file, next, 1);
            MsgStored *first = next;
            for (; next != nullptr && same_line(next, first); next = next->next)
                print_message(file, *next);
            if (!more) break;
            ++line;
            if (!source->seek(line_start(line, main_stream))) break;
        }
    }

    list_messages(file, [](const MsgStored *m) { return position_is_null(m->position); });
    pr.paging = false;
    source->set_listing(false);
    source->close();
    msg_restore_params(&save);
    std::fflush(file);
}

void msg_print_reset() { pr = PrintState{}; }

void msg_set_source_reader(const MsgSourceReader *reader) { source = reader; }
