// What the message service's own files share: the resets of the expansion and printing state,
// called by msg_reset.
#pragma once

// In msg_expand.cpp: forgets the bound parameters and the last expansion without freeing.
void msg_expand_reset();

// In msg_print.cpp: forgets the page state and the listing formats without freeing.
void msg_print_reset();
