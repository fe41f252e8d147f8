// The program's entry: the whole run in one straight sequence. Bring the toolkit up, read the
// command line, preprocess the input, print the collected messages, shut down, exit.
#include <cstdio>
#include <cstdlib>

#include "driver/fe.h"
#include "mm/mm.h"
#include "msg/msg.h"

int main(int argc, char **argv) {
    (void)argc;
    (void)argv;
    // TODO: the output stream, the host hooks, the lexer and the preprocessor's start-up, the
    // command line and the scanning loop join this sequence as they are built.
    fe_initialize();
    mm_initialize();
    msg_print_messages(stderr, 1);
    fe_terminate();
    return 0;
}
