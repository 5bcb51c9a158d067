// The payload launch: copies the payload out of the installer file into
// "tmp.exe" in the current directory, runs it, and deletes it again.
#ifndef LAUNCH_H
#define LAUNCH_H

#include <stdint.h>
#include <stdio.h>

#include "../driver/console.h"

#define TMP_NAME "tmp.exe"

enum CopyResult { COPY_DONE, COPY_READ_FAILED, COPY_WRITE_FAILED };

// The payload is copied in blocks of this size.
enum { COPY_BLOCK_SIZE = 256 * 1024 };

// Where the payload ends: a signed installer ends with its certificate table
// (Authenticode), which signs the installer and is no part of the payload;
// a payload signed before it was packed keeps a valid signature only if
// tmp.exe gets its bytes alone. The table's offset, when the installer's
// headers name a well-formed one that starts at or after offset and ends
// the file (pe_certificate_table, which --check asks too); otherwise -1,
// the file's end: what is not a table is payload.
int64_t payload_end(FILE *installer, int64_t offset);

// Copies the bytes of installer from offset to end (-1: its end) into
// payload, best left unbuffered. On failure *errnum holds the error of the
// failing call.
CopyResult copy_payload(FILE *installer, FILE *payload, int64_t offset, int64_t end,
                        int *errnum);

// Returns the exit status for the run: 0 once the payload has been run and
// "del tmp.exe" done, whatever they did; 1 if the payload could not be put
// in place, after an error report (a partial "tmp.exe" is removed, never run).
int launch(const Host *h, const char *installer_path);

#endif
