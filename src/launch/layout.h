// Installer file layout: the stub's own executable, padded by the build to
// exactly PAYLOAD_OFFSET bytes, then the payload to the end of the file. There
// is no header or length field; the offset is the whole contract, and the
// build reads it from this line to pad the stub (keep it a plain number).
#ifndef LAYOUT_H
#define LAYOUT_H

#define PAYLOAD_OFFSET 35328

#endif
