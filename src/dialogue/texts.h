// The dialogue's texts, as Shift_JIS (code page 932) bytes. They are written
// byte for byte; nothing converts them, so they are spelled out as escapes
// rather than left to the compiler's source and execution character sets.
#ifndef TEXTS_H
#define TEXTS_H

// "インストール先 [%s]: "
#define TEXT_DIRECTORY_PROMPT \
    "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x90\xE6 [%s]: "

// "フォルダを作りますか？ [y/n]: "
#define TEXT_CREATE_QUESTION \
    "\x83\x74\x83\x48\x83\x8B\x83\x5F\x82\xF0\x8D\xEC\x82\xE8\x82\xDC\x82\xB7" \
    "\x82\xA9\x81\x48 [y/n]: "

// "y or n で答えてください。\n"
#define TEXT_ANSWER_REQUEST \
    "y or n \x82\xC5\x93\x9A\x82\xA6\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81\x42\n"

// "フォルダが作れませんでした。\n"
#define TEXT_CREATE_FAILED \
    "\x83\x74\x83\x48\x83\x8B\x83\x5F\x82\xAA\x8D\xEC\x82\xEA\x82\xDC\x82\xB9" \
    "\x82\xF1\x82\xC5\x82\xB5\x82\xBD\x81\x42\n"

// Followed by an error report naming the directory.
#define TEXT_CHDIR_FAILED "??? chdir: "

// "インストールを中止しました。\n"
#define TEXT_ABORTED \
    "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x82\xF0\x92\x86\x8E\x7E" \
    "\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\n"

#endif
