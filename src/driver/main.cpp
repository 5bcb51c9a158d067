// The stub's entry: the dialogue, then the payload launch, then a pause so
// the user can read the screen. Every way out passes through pause_and_exit.
#include "../dialogue/dialogue.h"
#include "../launch/launch.h"
#include "../launch/layout.h"
#include "../platform/platform.h"
#include "console.h"

// Not const, so that the compiler reads the folder from the field, which the
// packer may have rewritten, instead of folding in its initial value.
DefaultFolderField default_folder_field = {DEFAULT_FOLDER_TAG, DEFAULT_INSTALL_DIR};

int main(int argc, char **argv)
{
    (void)argc;
    const Host host = host_default();

    // Taken before the dialogue changes directory: a relative start path, or
    // one typed without ".exe", would not open the installer file afterwards.
    static char module_path[PATH_BUFFER_SIZE];
    const char *installer = plat_module_path(module_path, sizeof module_path);
    if (installer == NULL)
        installer = argv[0] != NULL ? argv[0] : "";

    // A damaged field still ends inside itself.
    default_folder_field.folder[DEFAULT_FOLDER_SIZE - 1] = '\0';
    if (run_dialogue(&host, default_folder_field.folder) != 0)
        pause_and_exit(&host, 1);
    pause_and_exit(&host, launch(&host, installer));
}
