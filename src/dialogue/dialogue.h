// The install-directory dialogue: asks where to install, offers to create a
// directory it can't enter, and leaves the chosen one as current directory.
#ifndef DIALOGUE_H
#define DIALOGUE_H

#include "../driver/console.h"

enum { REPLY_SIZE = 1024, ANSWER_SIZE = 128 };

// Removes leading and trailing white space (tab, LF, VT, FF, CR, space) in
// place. Bytes 0x80-0xFF are never white space, so Shift_JIS survives whole.
void trim_reply(char *reply);

// Returns 0 once the install directory is current. Returns 1 when input ends
// or fails before that, after telling the user the installation was stopped.
// An empty reply takes default_folder (at most REPLY_SIZE - 1 bytes are read
// of it).
int run_dialogue(const Host *h, const char *default_folder);

#endif
