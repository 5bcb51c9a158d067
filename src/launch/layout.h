// Installer file layout: the stub's own executable, padded by the build to
// exactly PAYLOAD_OFFSET bytes, then the payload to the end of the file. There
// is no header or length field; the offset is the whole contract, and the
// build reads it from this line to pad the stub (keep it a plain number).
#ifndef LAYOUT_H
#define LAYOUT_H

#define PAYLOAD_OFFSET 35328

// The folder the dialogue offers, "\\NAME" under the current drive's root,
// is a field of the stub's data that the packer may rewrite in its copy of
// the stub. The tag before it, which occurs once in the stub, is how the
// packer finds it; the folder is NUL-terminated and NUL-padded, and NAME is
// at most DEFAULT_FOLDER_NAME_MAX bytes of code page 932.
#define DEFAULT_FOLDER_TAG "grelm:folder:v1"
#define DEFAULT_INSTALL_DIR "\\grelm"
enum { DEFAULT_FOLDER_TAG_SIZE = 16, DEFAULT_FOLDER_SIZE = 40, DEFAULT_FOLDER_NAME_MAX = 32 };
struct DefaultFolderField {
    char tag[DEFAULT_FOLDER_TAG_SIZE];
    char folder[DEFAULT_FOLDER_SIZE];
};

#endif
