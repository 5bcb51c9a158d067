// Between plat_remove_on_interrupt, the same on every system
// (platform_common.cpp), and each system's handler of interruptions.
#ifndef PLATFORM_INTERRUPT_H
#define PLATFORM_INTERRUPT_H

// The path to remove now, or NULL; it only reads memory, so a signal
// handler may call it.
const char *plat_interrupt_path(void);

// The words plat_end_interrupted_saying gave, or NULL: the program then
// ends as the interruption would have ended it.
const char *plat_interrupt_words(void);

// Installs the system's handlers; called again, it does nothing.
void plat_catch_interrupts(void);

#endif
