// The one shutdown. Every signal that would end the process runs it, on whichever thread the
// signal reaches: the rules come off (packets already queued are let go first), the other
// threads stop inside the handler, the shared-memory blocks go and the process ends.
#pragma once

#include <cstdio>

// Installs the handler for every signal that would end the process: 0, or 1 reported to out.
int set_sig_handler(FILE *out);
// The shutdown itself.
void sig_handler(int signal_number);
