// Test program: reads a program's file properties as Windows programs do
// (GetFileVersionInfoW, VerQueryValueW), and writes them as UTF-8 lines,
// "KEY NAME=VALUE" for every string of every translation, then the fixed
// part's file version: what Explorer's Details page shows comes from here.
#include <stdio.h>
#include <windows.h>

static void put_utf8(const wchar_t *w)
{
    char buf[1024];
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, NULL, NULL);
    if (n > 0)
        fwrite(buf, 1, (size_t)n - 1, stdout);
}

int main()
{
    int argc;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL || argc != 2)
        return 2;
    DWORD ignored, size = GetFileVersionInfoSizeW(argv[1], &ignored);
    static unsigned char info[65536];
    if (size == 0 || size > sizeof info || !GetFileVersionInfoW(argv[1], 0, size, info)) {
        printf("no version information (%lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    WORD *pairs;
    UINT bytes;
    if (!VerQueryValueW(info, L"\\VarFileInfo\\Translation", (void **)&pairs, &bytes))
        return 3;
    static const wchar_t *const names[] = {L"CompanyName", L"FileDescription", L"FileVersion",
                                           L"LegalCopyright", L"ProductName", L"ProductVersion"};
    for (UINT i = 0; i + 1 < bytes / 2; i += 2) {
        for (const wchar_t *name : names) {
            wchar_t query[128], *value;
            UINT chars;
            swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", pairs[i], pairs[i + 1], name);
            if (VerQueryValueW(info, query, (void **)&value, &chars) && chars > 0) {
                printf("%04X%04X ", pairs[i], pairs[i + 1]);
                put_utf8(name);
                printf("=");
                put_utf8(value);
                printf("\n");
            }
        }
    }
    VS_FIXEDFILEINFO *fixed;
    if (!VerQueryValueW(info, L"\\", (void **)&fixed, &bytes))
        return 4;
    printf("FileVersion %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS),
           LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
           LOWORD(fixed->dwFileVersionLS));
    return 0;
}
