// One result type for everything the archive code does, and one function
// that turns it into the text the user reads, so that every program (the
// extractor, mkinstaller's packing and --check) says the same thing for the
// same fault, and a read error is never reported as damage.
#ifndef LZH_STATUS_H
#define LZH_STATUS_H

enum LzhStatus {
    LZH_OK = 0,
    LZH_END,              // the end-of-archive mark
    LZH_NO_END_MARK,      // end of file where a header or the end mark belongs
    LZH_HEADER_CUT,       // the file ends inside a header
    LZH_BAD_CHECKSUM,     // level 0/1 header sum
    LZH_BAD_HEADER_CRC,   // header CRC extension
    LZH_BAD_LEVEL,        // a level other than 0, 1, 2 and 3
    LZH_MALFORMED,        // header sizes that contradict each other
    LZH_NAME_TOO_LONG,
    LZH_DATA_CUT,         // the file ends inside a member's data
    LZH_CORRUPT,          // data no encoder writes, or codes past its end
    LZH_BAD_CRC,          // data that decodes, to the wrong CRC
    LZH_READ_ERROR,       // errno tells why
    LZH_WRITE_ERROR,      // the sink failed; errno tells why
    LZH_UNSUPPORTED,      // a method this program does not decode
    LZH_NO_MEMORY,
};

// The text for s; errnum (an errno value) explains read and write errors.
const char *lzh_status_text(LzhStatus s, int errnum);

#endif
